// A program that must never run: placed where a command line with an
// unquoted path containing blanks would find it first. When it runs anyway it
// leaves "<its own path>.ran" behind.
#include <windows.h>

int main() {
    char path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    lstrcatA(path, ".ran");
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    return 0;
}
