// Store buffers, as x86 processors keep them. A thread's plain store to shared memory waits
// in its own buffer, first in first out, and reaches memory later, as a step of its own that
// a schedule places. The thread's own loads see its newest buffered store to a location;
// every other thread sees memory. A fence, a locked instruction, a call into the library (its
// synchronisation is made of locked instructions, and a system call empties the buffer too)
// and a thread's end wait until the buffer has emptied.
//
// The program's instructions still run on its real memory: a store runs, what it wrote is
// taken into the buffer and memory is put back as it was; a load of a location the thread
// has buffered runs with the buffered bytes laid over memory for that one instruction.
#include <string.h>

#include <algorithm>

#include "execution.h"

namespace {

// The bytes a store writes: its operand's, which may be wider than the 8 a step shows.
size_t widthOf(const Step &step) {
    const auto written =
        std::find_if(step.touches.begin(), step.touches.end(), [&step](const Touch &touch) {
            return touch.writes && touch.address == step.address;
        });
    return written != step.touches.end() ? std::min<size_t>(written->size, 64) : step.size;
}

bool overlaps(const Buffered &entry, const Touch &touch) {
    return entry.address < touch.address + touch.size &&
           touch.address < entry.address + entry.bytes.size();
}

} // namespace

std::vector<uint8_t> Execution::bytesAt(uint64_t address, size_t size) const {
    std::vector<uint8_t> bytes(size, 0);
    process.read(address, bytes.data(), size);
    return bytes;
}

// The thread's store has just run: what it wrote goes into the buffer, and memory is given
// back the bytes it had.
void Execution::buffer(int index, Step &step, const std::vector<uint8_t> &before) {
    Thread &thread = at(index);
    Buffered entry;
    entry.address = step.address;
    entry.bytes = bytesAt(step.address, before.size());
    entry.pc = step.pc;
    entry.instruction = step.instruction;
    entry.place = bufferPlace + (static_cast<uint64_t>(index) << 32) + thread.bufferedSoFar++;
    process.write(step.address, before.data(), before.size());
    step.value = 0;
    memcpy(&step.value, entry.bytes.data(), std::min<size_t>(step.size, entry.bytes.size()));
    step.buffered = true;
    step.touches = {{entry.place, 1, true}};
    thread.buffer.push_back(std::move(entry));
}

// Before a store runs: the bytes it will overwrite, to be given back.
std::vector<uint8_t> Execution::storeStart(const Step &step) const {
    return bytesAt(step.address, widthOf(step));
}

// For a load by a thread with buffered stores where it reads: those stores laid over memory,
// oldest first, so that the newest wins; what they covered is kept in `saved`.
void Execution::overlayBuffer(int index, Step &step, std::vector<Buffered> &saved) {
    for (const Buffered &entry : at(index).buffer) {
        if (std::none_of(step.touches.begin(), step.touches.end(),
                         [&entry](const Touch &touch) { return overlaps(entry, touch); }))
            continue;
        saved.push_back({entry.address, bytesAt(entry.address, entry.bytes.size()), 0, {}, 0});
        process.write(entry.address, entry.bytes.data(), entry.bytes.size());
        step.forwarded = true;
    }
}

// Memory as it was before the overlay, newest first.
void Execution::restore(const std::vector<Buffered> &saved) {
    for (auto entry = saved.rbegin(); entry != saved.rend(); ++entry)
        process.write(entry->address, entry->bytes.data(), entry->bytes.size());
}

// The oldest store of the thread's buffer reaches memory.
Step Execution::flush(int index) {
    Thread &thread = at(index);
    const Buffered oldest = std::move(thread.buffer.front());
    thread.buffer.pop_front();
    Step step;
    step.thread = index;
    step.kind = StepKind::flush;
    step.pc = oldest.pc;
    step.instruction = oldest.instruction;
    step.address = oldest.address;
    step.size = static_cast<unsigned>(std::min<size_t>(oldest.bytes.size(), 8));
    step.before = readValue(step.address, step.size);
    memcpy(&step.value, oldest.bytes.data(), step.size);
    process.write(oldest.address, oldest.bytes.data(), oldest.bytes.size());
    step.touches = oldest.arrival();
    stored(oldest.address); // a thread that spins on it can go on
    return step;
}

// A thread about to fence or to call into the library with stores still in its buffer
// stands before a step of that kind, which waits until they have reached memory. False where
// there is nothing to wait for.
bool Execution::holdForBuffer(int index, StepKind kind, uint64_t pc, const char *instruction) {
    Thread &thread = at(index);
    if (!storeBuffers() || thread.buffer.empty())
        return false;
    thread.next = Step{};
    thread.next.thread = index;
    thread.next.kind = kind;
    thread.next.pc = pc;
    thread.next.instruction = instruction;
    return true;
}
