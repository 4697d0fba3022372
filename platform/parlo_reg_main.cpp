#include <cstdio>

int main() {
    std::fprintf(stderr, "parlo-reg: not built yet\n");
    return 1;
}
