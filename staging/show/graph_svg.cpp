// The progress graph drawn as SVG: a picture a browser or an image viewer shows, made of the
// grid, the shaded states, a line a schedule and a legend.
#include <algorithm>
#include <string>

#include "progress_graph.h"

namespace {

// Outcomes that fail in warm colours, those that pass in cool ones.
const char *const failingColours[] = {"#d62728", "#ff7f0e", "#9467bd",
                                      "#8c564b", "#e377c2", "#bcbd22"};
const char *const passingColours[] = {"#1f77b4", "#2ca02c", "#17becf", "#7f7f7f"};

std::string escaped(const std::string &text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return out;
}

std::string number(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// Where things go: a state (x, y) at (left + x * cell, top + y * cell).
struct Layout {
    double cell;
    double left = 220;
    double top = 70;
    double width = 0;
    double height = 0;
    double legend = 0; // where the legend begins, down

    double px(double x) const { return left + x * cell; }
    double py(double y) const { return top + y * cell; }
};

std::string colourOf(const std::vector<OutcomeKey> &keys, size_t k) {
    size_t rank = 0; // among the outcomes that fail, or among those that pass
    for (size_t i = 0; i < k; ++i)
        rank += keys[i].failing == keys[k].failing ? 1U : 0U;
    return keys[k].failing ? failingColours[rank % std::size(failingColours)]
                           : passingColours[rank % std::size(passingColours)];
}

// One outcome's steps as path data: each a line from state to state, drawn `aside` from the
// grid's line; a cross where a run of it was stuck.
std::string stepsOf(const ProgressGraph &graph, const OutcomeEdges &e, const Layout &at,
                    double aside) {
    std::string d;
    for (size_t x = 0; x <= graph.across(); ++x)
        for (size_t y = 0; y <= graph.down(); ++y) {
            const auto fx = static_cast<double>(x);
            const auto fy = static_cast<double>(y);
            char step[96] = "";
            if (e.right[x][y]) {
                snprintf(step, sizeof step, "M%.1f %.1fH%.1f", at.px(fx), at.py(fy) + aside,
                         at.px(fx + 1));
                d += step;
            }
            if (e.down[x][y]) {
                snprintf(step, sizeof step, "M%.1f %.1fV%.1f", at.px(fx) + aside, at.py(fy),
                         at.py(fy + 1));
                d += step;
            }
            if (e.ends[x][y]) {
                snprintf(step, sizeof step, "M%.1f %.1fl12 12m0 -12l-12 12", at.px(fx) - 6,
                         at.py(fy) - 6);
                d += step;
            }
        }
    return d;
}

// Each outcome's steps as one path, drawn a little aside from the others' so that a step
// that schedules of several outcomes take shows each of their colours.
std::string schedulesOf(const ProgressGraph &graph, const std::vector<OutcomeKey> &keys,
                        const Layout &at) {
    std::string out;
    const std::vector<OutcomeEdges> &outcomes = graph.outcomes();
    const double spacing = std::min(4.0, at.cell * 0.4 / static_cast<double>(outcomes.size()));
    for (size_t k = 0; k < outcomes.size() && k < keys.size(); ++k) {
        const OutcomeEdges &e = outcomes[k];
        if (e.paths == 0)
            continue;
        const double aside =
            (static_cast<double>(k) - static_cast<double>(outcomes.size() - 1) / 2) * spacing;
        out += "<path class=\"schedules\" data-outcome=\"" + std::to_string(k) +
               "\" data-failing=\"" + (keys[k].failing ? "1" : "0") + "\" data-lost=\"" +
               std::to_string(keys[k].lost) + "\" data-paths=\"" + std::to_string(e.paths) +
               "\" stroke=\"" + colourOf(keys, k) + "\" fill=\"none\" stroke-width=\"2\" d=\"" +
               stepsOf(graph, e, at, aside) + "\"><title>" + escaped(keys[k].text) +
               "</title></path>\n";
    }
    return out;
}

// A square around each state that no schedule reaches (grey), and around each where both
// threads are between a load and their store to the same place (red).
std::string statesOf(const ProgressGraph &graph, const std::vector<OutcomeKey> &keys,
                     const Layout &at) {
    std::string out;
    for (size_t x = 0; x <= graph.across(); ++x)
        for (size_t y = 0; y <= graph.down(); ++y) {
            std::string kind;
            std::string why;
            if (!graph.reached(x, y, keys, 3)) {
                kind = "unreached";
                const std::string lock = graph.bothHold(x, y);
                why = lock.empty() ? "no schedule reaches this state"
                                   : "no schedule reaches this state: both would hold " + lock;
            }
            for (const Region &region : graph.races())
                if (kind.empty() && x >= region.fromX && x <= region.toX && y >= region.fromY &&
                    y <= region.toY) {
                    kind = "race";
                    why = "both between a load of " + region.place + " and their store to it";
                }
            if (kind.empty())
                continue;
            out += "<rect class=\"" + kind + "\" data-x=\"" + std::to_string(x) + "\" data-y=\"" +
                   std::to_string(y) + "\" x=\"" + number(at.px(static_cast<double>(x) - 0.5)) +
                   "\" y=\"" + number(at.py(static_cast<double>(y) - 0.5)) + "\" width=\"" +
                   number(at.cell) + "\" height=\"" + number(at.cell) + "\" fill=\"" +
                   (kind == "race" ? "#f7c6c6" : "#d9d9d9") + "\"><title>" + escaped(why) +
                   "</title></rect>\n";
        }
    return out;
}

std::string axesOf(const ProgressGraph &graph, const Layout &at) {
    std::string out = "<g font-size=\"12\" fill=\"#222\">\n";
    const Axis &across = graph.axis(0);
    const Axis &down = graph.axis(1);
    for (size_t k = 0; k < across.steps.size(); ++k) {
        char text[160];
        snprintf(text, sizeof text,
                 "<text class=\"step\" data-thread=\"%c\" transform=\"translate(%.1f %.1f) "
                 "rotate(-60)\">%zu ",
                 across.letter, at.px(static_cast<double>(k) + 0.5) - 4, at.py(-0.5) - 4, k + 1);
        out.append(text).append(escaped(across.steps[k])).append("</text>\n");
    }
    for (size_t k = 0; k < down.steps.size(); ++k) {
        char text[160];
        snprintf(text, sizeof text,
                 "<text class=\"step\" data-thread=\"%c\" text-anchor=\"end\" x=\"%.1f\" "
                 "y=\"%.1f\">%zu ",
                 down.letter, at.px(-0.5) - 4, at.py(static_cast<double>(k) + 0.5) + 4, k + 1);
        out.append(text).append(escaped(down.steps[k])).append("</text>\n");
    }
    return out + "</g>\n";
}

} // namespace

bool drawGraph(const ProgressGraph &graph, const std::vector<OutcomeKey> &keys,
               const std::string &title, FILE *into) {
    Layout at{
        std::clamp(480.0 / static_cast<double>(std::max<size_t>({graph.across(), graph.down(), 1})),
                   24.0, 110.0)};
    at.top = 210;
    const double width = at.cell * static_cast<double>(graph.across());
    const double height = at.cell * static_cast<double>(graph.down());
    at.legend = at.top + height + 40;
    at.width = std::max(at.left + width + 60, 800.0);
    const std::string states = statesOf(graph, keys, at);
    const bool races = states.find("class=\"race\"") != std::string::npos;
    const bool unreached = states.find("class=\"unreached\"") != std::string::npos;
    size_t lines = (races ? 1U : 0U) + (unreached ? 1U : 0U);
    lines += static_cast<size_t>(
        std::count_if(graph.outcomes().begin(), graph.outcomes().end(),
                      [](const OutcomeEdges &outcome) { return outcome.paths > 0; }));
    at.height = at.legend + 22 * static_cast<double>(lines) + 20;
    const Axis &a = graph.axis(0);
    const Axis &b = graph.axis(1);
    auto named = [](const Axis &axis) {
        std::string name(1, axis.letter);
        if (!axis.name.empty())
            name.append(" (").append(axis.name).append(")");
        return name;
    };
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
        "width=\"" +
        number(at.width) + "\" height=\"" + number(at.height) + "\" font-family=\"" +
        "DejaVu Sans, Verdana, sans-serif\" data-cell=\"" + number(at.cell) + "\" data-left=\"" +
        number(at.left) + "\" data-top=\"" + number(at.top) + "\">\n<rect width=\"100%\" " +
        "height=\"100%\" fill=\"white\"/>\n<text x=\"12\" y=\"26\" font-size=\"17\" " +
        "font-weight=\"bold\">" + escaped(title) + "</text>\n<text x=\"12\" y=\"48\" " +
        "font-size=\"13\">" + escaped(named(a)) + " across, " + escaped(named(b)) +
        " down: each schedule is a path from the top left to the bottom right</text>\n" + states;
    for (size_t x = 0; x <= graph.across(); ++x)
        out += "<line stroke=\"#e4e4e4\" x1=\"" + number(at.px(static_cast<double>(x))) +
               "\" x2=\"" + number(at.px(static_cast<double>(x))) + "\" y1=\"" + number(at.py(0)) +
               "\" y2=\"" + number(at.py(static_cast<double>(graph.down()))) + "\"/>\n";
    for (size_t y = 0; y <= graph.down(); ++y)
        out += "<line stroke=\"#e4e4e4\" y1=\"" + number(at.py(static_cast<double>(y))) +
               "\" y2=\"" + number(at.py(static_cast<double>(y))) + "\" x1=\"" + number(at.px(0)) +
               "\" x2=\"" + number(at.px(static_cast<double>(graph.across()))) + "\"/>\n";
    out += axesOf(graph, at) + schedulesOf(graph, keys, at);
    // A dot for each state that some schedule passes through, on top of the lines.
    for (size_t x = 0; x <= graph.across(); ++x)
        for (size_t y = 0; y <= graph.down(); ++y)
            if (graph.reached(x, y, keys, 3)) {
                char dot[128];
                snprintf(dot, sizeof dot,
                         "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"#444\"/>\n",
                         at.px(static_cast<double>(x)), at.py(static_cast<double>(y)));
                out += dot;
            }
    double y = at.legend;
    auto legend = [&out, &y](const std::string &swatch, const std::string &text) {
        out += "<g transform=\"translate(12 " + number(y) + ")\">" + swatch +
               "<text x=\"34\" y=\"5\" font-size=\"13\">" + escaped(text) + "</text></g>\n";
        y += 22;
    };
    if (races)
        legend("<rect x=\"0\" y=\"-7\" width=\"24\" height=\"14\" fill=\"#f7c6c6\"/>",
               "both threads between a load of a place and their store back to it");
    if (unreached)
        legend("<rect x=\"0\" y=\"-7\" width=\"24\" height=\"14\" fill=\"#d9d9d9\"/>",
               "no schedule reaches these states: a lock keeps the threads out");
    for (size_t k = 0; k < graph.outcomes().size(); ++k) {
        const unsigned long paths = graph.outcomes()[k].paths;
        if (paths > 0)
            legend("<line x1=\"0\" x2=\"24\" y1=\"0\" y2=\"0\" stroke-width=\"3\" stroke=\"" +
                       colourOf(keys, k) + "\"/>",
                   std::to_string(paths) + " schedule" + (paths == 1 ? "" : "s") + ": " +
                       (k < keys.size() ? keys[k].text : ""));
    }
    out += "</svg>\n";
    return fputs(out.c_str(), into) >= 0;
}
