// The baseline: a GUI-subsystem program that does nothing, built exactly like
// the product (same toolchain, static runtime, -mwindows).
#include "common/Platform.h"

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
