#include <cstdio>

// The windowed application arrives with the interface; until then it only names itself.
int main() {
    std::printf("quorlinth 0.1.0\n");
    return 0;
}
