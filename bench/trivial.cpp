// The reference for one process start: a GUI-subsystem program, like the
// launcher, that only exits.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return 0;
}
