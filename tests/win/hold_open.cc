// Test helper: holds a file open for writing, as a mail client does while
// it is still writing a message, until told to let go.
//
//   hold_open.exe FILE STOP-FILE [SECONDS]
//
// Opens FILE with write access, letting others only read it, prints "held"
// on stdout once it is open, and closes it when STOP-FILE exists or after
// SECONDS (default 60). Exit code 0, or 2 when FILE cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: hold_open FILE STOP-FILE [SECONDS]\n");
    return 125;
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "hold_open: cannot open %s: error %lu\n", argv[1],
            GetLastError());
    return 2;
  }
  printf("held\n");
  fflush(stdout);
  const DWORD limit_ms =
      static_cast<DWORD>((argc > 3 ? atof(argv[3]) : 60.0) * 1000);
  const DWORD start = GetTickCount();
  while (GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount() - start < limit_ms) {
    Sleep(20);
  }
  CloseHandle(file);
  return 0;
}
