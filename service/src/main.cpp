#include <cstdio>

int main() {
    std::printf("quorlinth-service 0.1.0\n");
    return 0;
}
