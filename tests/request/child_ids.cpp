// Prints the first two request ids that a fresh process hands out.
#include "request/Request.h"

#include <cstdio>

int main() {
    zem::vfs::Request a("a", -1);
    zem::vfs::Request b("b", -1);
    std::printf("first=%d\nsecond=%d\n", a.id(), b.id());
    return 0;
}
