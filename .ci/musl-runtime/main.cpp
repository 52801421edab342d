#include <cstdio>

struct Noisy {
    ~Noisy() { std::puts("destroyed"); }
};
Noisy noisy;

volatile unsigned __int128 dividend = static_cast<unsigned __int128>(100) << 64;
volatile unsigned __int128 divisor = 3;

int main() {
    std::printf("%llu\n", static_cast<unsigned long long>(dividend / divisor >> 64));
}
