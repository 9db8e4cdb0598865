// A routine for the ELF reader's tests to find: built as a shared library, an object file
// and a program linked at a fixed address.
#include <stdio.h>

extern "C" int elf_sample_routine(int value) {
    return puts("elf_sample_routine") + value;
}

int main() {
    return elf_sample_routine(0) < 0;
}
