#include <cstdio>
#include <mutex>
#include <thread>

std::mutex m;
int count = 0;

void incThread() {
    for (int i = 0; i < 2; i++) {
        std::lock_guard<std::mutex> guard(m);
        count++;
        std::printf("Inc: %d\n", count);
    }
}

void decThread() {
    for (int i = 0; i < 2; i++) {
        std::lock_guard<std::mutex> guard(m);
        count--;
        std::printf("Dec: %d\n", count);
    }
}

int main() {
    std::thread inc(incThread);
    std::thread dec(decThread);
    inc.join();
    dec.join();
    return 0;
}
