// Prints "i686" or "x86_64": the kind of Windows code this program is, which it can only say when
// the machine runs it.
#include <cstdio>

int main() {
    std::puts(sizeof(void*) == 4 ? "i686" : "x86_64");
    return 0;
}
