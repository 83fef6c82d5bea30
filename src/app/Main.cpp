// Program entry. The windows come with the user interface; until then the program says so.
#include <cstdio>

int main() {
    std::fputs("Tapvane: the user interface is not built yet; the relay core and its tests are.\n",
               stdout);
    return 0;
}
