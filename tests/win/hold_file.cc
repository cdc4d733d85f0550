// Test helper: holds a file open without sharing, as another program may
// hold a file in the destination folder, until told to let go.
//
//   hold_file.exe FILE STOP-FILE [SECONDS]
//
// Opens FILE (an existing one) for reading and writing with share mode 0,
// so no other open of it succeeds, prints "ready" on stdout once it is
// open, and closes it when STOP-FILE exists or after SECONDS (default 60).
// Exit code 0, or 2 when FILE cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: hold_file FILE STOP-FILE [SECONDS]\n");
    return 125;
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "hold_file: cannot open %s: error %lu\n", argv[1],
            GetLastError());
    return 2;
  }
  printf("ready\n");
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
