// quorvia-service: the Quorvia web service. Commands: serve, account add.
#include <cstdio>

int main(int, char **)
{
    std::fprintf(stderr, "usage: quorvia-service serve|account add EMAIL [options]\n");
    return 2;
}
