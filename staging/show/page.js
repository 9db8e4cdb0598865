"use strict";
// interleave puts the schedule here as a JSON object, with every "<" written as \u003c, so no
// text of the program's (a name, a printed line) can end this script. Everything taken from
// it reaches the page as text (textContent), never as markup.
const schedule = /*SCHEDULE*/null;

// Lane colours: distinct, dark enough for white letters, calm on a projector.
const PALETTE = ["#44546a", "#1f6f8b", "#8b5a1f", "#5e7d2a", "#7b3f8c", "#9c3d54"];

function element(tag, attributes, text) {
    const made = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) made.setAttribute(name, value);
    if (text !== undefined) made.textContent = text;
    return made;
}

function svgElement(tag, attributes) {
    const made = document.createElementNS("http://www.w3.org/2000/svg", tag);
    for (const [name, value] of Object.entries(attributes)) made.setAttribute(name, String(value));
    return made;
}

function badge(letter, threadIndex) {
    const colour = PALETTE[threadIndex % PALETTE.length];
    const made = element("span", {class: "who"}, letter);
    // A small letter is the thread's store buffer: its own colour, drawn hollow.
    if (letter !== letter.toUpperCase()) {
        made.classList.add("buffer");
        made.style.color = colour;
        made.style.borderColor = colour;
    } else {
        made.style.background = colour;
    }
    return made;
}

function lines(text) {
    const split = text.split("\n");
    if (split.length > 1 && split[split.length - 1] === "") split.pop();
    return split;
}

function build() {
    document.getElementById("title").textContent = schedule.title;
    document.title = schedule.title + " \u2014 interleave";
    document.getElementById("order").textContent = "Memory order: " + schedule.order;
    document.body.classList.toggle("four", schedule.threads.length === 4);
    document.body.classList.toggle("many", schedule.threads.length > 4);
    const columns = document.getElementById("columns");
    const lanes = document.getElementById("lanes");
    schedule.threads.forEach((thread, index) => {
        columns.appendChild(element("col", {class: "lane", "data-thread": thread.letter}));
        const heading = element("th", {scope: "col", class: "lane", "data-thread": thread.letter});
        heading.appendChild(badge(thread.letter, index));
        heading.appendChild(element("span", {class: "name"}, thread.name));
        lanes.appendChild(heading);
    });
    const body = document.getElementById("steps");
    for (const step of schedule.steps) {
        const row = element("tr", {"data-step": step.n});
        row.appendChild(element("th", {scope: "row"}, String(step.n)));
        schedule.threads.forEach((thread, index) => {
            const cell = element("td", {"data-thread": thread.letter, "data-step": step.n});
            if (index === step.thread) {
                cell.classList.add("move");
                cell.dataset.who = step.who;
                cell.appendChild(badge(step.who, index));
                const text = element("span", {class: "text"});
                text.appendChild(element("span", {class: "does"}, step.does));
                if (step.instruction) {
                    text.appendChild(element("code", {class: "instruction"}, step.instruction));
                }
                if (step.printed) {
                    const printed = lines(step.printed).join(" / ");
                    text.appendChild(element("span", {class: "printed mono"}, printed));
                }
                cell.appendChild(text);
            }
            row.appendChild(cell);
        });
        body.appendChild(row);
    }
    const values = document.getElementById("values");
    for (const place of schedule.places) {
        values.appendChild(element("dt", {}, place));
        values.appendChild(element("dd", {"data-place": place, class: "value"}));
    }
    const locks = document.getElementById("locks");
    for (const lock of schedule.locks) {
        locks.appendChild(element("dt", {}, lock));
        locks.appendChild(element("dd", {"data-lock": lock, class: "state"}));
    }
    document.getElementById("locks-panel").hidden = schedule.locks.length === 0;
    document.getElementById("memory").hidden = schedule.places.length === 0;
    document.getElementById("buffers-panel").hidden = !schedule.steps.some(step => step.buffers);
    document.getElementById("total").textContent = String(schedule.steps.length);
    const lost = document.querySelector("#lost ul");
    for (const change of schedule.lost) {
        const item = element("li", {"data-load": change.load, "data-store": change.store});
        const steps = `Step ${change.load} \u2192 step ${change.store}: `;
        item.appendChild(element("span", {class: "steps"}, steps));
        item.appendChild(document.createTextNode(change.text));
        lost.appendChild(item);
    }
    for (const [list, said] of [["waits", schedule.waits], ["outcome", schedule.outcome]]) {
        for (const line of said) document.getElementById(list).appendChild(element("li", {}, line));
    }
    document.getElementById("deadlock").hidden = schedule.deadlock.length === 0;
    const cycle = document.querySelector("#deadlock ol");
    schedule.deadlock.forEach((line, index) => {
        cycle.appendChild(element("li", {class: "link"}, line));
        // Each arrow leads to the thread it waits for; the last leads round to the first,
        // named by its letter (a lock may be called "first").
        const next = index + 1 < schedule.deadlock.length ? "\u2193"
            : `\u21BA round to ${schedule.deadlock[0].charAt(0)} again`;
        cycle.appendChild(element("li", {class: "arrow", "aria-hidden": "true"}, next));
    });
}

let current = 0;

// The cell of step n (from 1), in its thread's lane: after the row's step number.
function cellOf(n) {
    return document.getElementById("steps").rows[n - 1].cells[schedule.steps[n - 1].thread + 1];
}

// The lost changes whose wiping store the current step has reached: each joins its stale
// load to that store with a bracket in the lane, the two cells marked, the wiped one struck.
function drawLinks() {
    const links = document.getElementById("links");
    links.replaceChildren();
    for (const marked of document.querySelectorAll("#steps td.stale, td.wiping, td.wiped")) {
        marked.classList.remove("stale", "wiping", "wiped");
    }
    const board = document.getElementById("board").getBoundingClientRect();
    const items = document.querySelectorAll("#lost li");
    schedule.lost.forEach((change, index) => {
        const reached = change.store <= current;
        items[index].hidden = !reached;
        if (!reached) return;
        const load = cellOf(change.load);
        const store = cellOf(change.store);
        load.classList.add("stale");
        store.classList.add("wiping");
        if (change.wiped) cellOf(change.wiped).classList.add("wiped");
        // Brackets of the same lane side by side, each a little further in.
        const from = load.getBoundingClientRect();
        const to = store.getBoundingClientRect();
        const x = Math.max(from.right, to.right) - board.left - 10 - 5 * index;
        const y1 = from.top + from.height / 2 - board.top;
        const y2 = to.top + to.height / 2 - board.top;
        links.appendChild(svgElement("path", {
            d: `M ${x - 10} ${y1} H ${x} V ${y2} H ${x - 10}`,
            "data-load": change.load, "data-store": change.store}));
        links.appendChild(svgElement("circle", {cx: x - 10, cy: y2, r: 4}));
    });
    document.getElementById("lost").hidden = !schedule.lost.some(change => change.store <= current);
}

function show(step) {
    current = Math.max(0, Math.min(schedule.steps.length, step));
    for (const row of document.querySelectorAll("#steps tr")) {
        const n = Number(row.dataset.step);
        row.classList.toggle("future", n > current);
        row.classList.toggle("current", n === current);
        row.classList.toggle("done", n < current);
    }
    const now = current > 0 ? schedule.steps[current - 1] : null;
    const before = current > 1 ? schedule.steps[current - 2] : null;
    for (const place of schedule.places) {
        const shown = document.querySelector(`#values [data-place="${CSS.escape(place)}"]`);
        const value = now ? now.values[place] || "" : "";
        shown.textContent = value === "" ? "\u2013" : value;
        const was = before ? before.values[place] || "" : "";
        shown.classList.toggle("changed", Boolean(now) && value !== was);
    }
    for (const lock of schedule.locks) {
        const shown = document.querySelector(`#locks [data-lock="${CSS.escape(lock)}"]`);
        const state = now ? now.lockStates[lock] || "" : "";
        shown.textContent = state === "" ? "\u2013" : state;
        const was = before ? before.lockStates[lock] || "" : "";
        shown.classList.toggle("changed", Boolean(now) && state !== was);
    }
    const buffers = document.getElementById("buffers");
    buffers.textContent = now && now.buffers ? now.buffers : "empty";
    const printed = document.getElementById("printed");
    printed.replaceChildren();
    schedule.steps.slice(0, current).forEach(step => {
        if (!step.printed) return;
        for (const line of lines(step.printed)) {
            printed.appendChild(element("span", step === now ? {class: "new"} : {}, line));
            printed.appendChild(document.createTextNode("\n"));
        }
    });
    if (!printed.hasChildNodes()) {
        printed.appendChild(element("span", {class: "none"}, "nothing yet"));
    }
    document.getElementById("end").hidden = current < schedule.steps.length;
    document.getElementById("current").textContent = String(current);
    let said = "";
    if (now) {
        said = `: ${now.who} (${schedule.threads[now.thread].name}) ${now.does}`;
        if (now.printed) said += `, prints ${lines(now.printed).join(" / ")}`;
    } else {
        said = ": before the first step";
    }
    if (schedule.lost.some(change => change.store === current)) said += ". A change is lost";
    document.getElementById("said").textContent = said;
    // Said to a screen reader; on the screen, the box at the end shows it.
    document.getElementById("ending").textContent = current === schedule.steps.length
        ? ". The end: " + [...schedule.deadlock, ...schedule.outcome].join("; ") : "";
    for (const button of ["first", "back"]) {
        document.getElementById(button).disabled = current === 0;
    }
    for (const button of ["forward", "last"]) {
        document.getElementById(button).disabled = current === schedule.steps.length;
    }
    drawLinks();
    const row = document.querySelector(`#steps tr[data-step="${current}"]`);
    if (row) row.scrollIntoView({block: "nearest"});
}

const KEYS = {
    ArrowRight: () => current + 1, ArrowDown: () => current + 1,
    ArrowLeft: () => current - 1, ArrowUp: () => current - 1,
    Home: () => 0, End: () => schedule.steps.length,
};

if (schedule === null) {
    document.getElementById("title").textContent = "No schedule here";
    document.getElementById("order").textContent =
        "This is the template that interleave fills: run interleave -c --page=FILE to make a page.";
    document.getElementById("controls").hidden = document.querySelector("main").hidden = true;
} else {
    build();
    // A link may name the step to open at, as page.html#step=5, for a class to start there.
    const named = /^#step=(\d+)$/.exec(location.hash);
    show(named ? Number(named[1]) : 0);
    // On the document, so the keys work as soon as the page opens, with nothing clicked.
    document.addEventListener("keydown", event => {
        if (event.altKey || event.ctrlKey || event.metaKey || !(event.key in KEYS)) return;
        event.preventDefault();
        show(KEYS[event.key]());
    });
    document.getElementById("first").addEventListener("click", () => show(0));
    document.getElementById("back").addEventListener("click", () => show(current - 1));
    document.getElementById("forward").addEventListener("click", () => show(current + 1));
    document.getElementById("last").addEventListener("click", () => show(schedule.steps.length));
    window.addEventListener("resize", drawLinks);
}
