// Test helper: holds a file open the way another program may, until told
// to let go.
//
//   hold_file.exe MODE FILE STOP-FILE [SECONDS]
//
// MODE "write": write access, others may only read (a mail client still
// writing a message). MODE "exclusive": read and write access, share mode
// 0, so no other open succeeds. Prints "held" on stdout once FILE (an
// existing one) is open, and closes it when STOP-FILE exists or after
// SECONDS (default 60). Exit code 0, 2 when FILE cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const bool exclusive = argc >= 4 && strcmp(argv[1], "exclusive") == 0;
  if (argc < 4 || (!exclusive && strcmp(argv[1], "write") != 0)) {
    fprintf(stderr,
            "usage: hold_file write|exclusive FILE STOP-FILE [SECONDS]\n");
    return 125;
  }
  const char* path = argv[2];
  const char* stop = argv[3];
  HANDLE file =
      exclusive ? CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                : CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "hold_file: cannot open %s: error %lu\n", path,
            GetLastError());
    return 2;
  }
  printf("held\n");
  fflush(stdout);
  const DWORD limit_ms =
      static_cast<DWORD>((argc > 4 ? atof(argv[4]) : 60.0) * 1000);
  const DWORD start = GetTickCount();
  while (GetFileAttributesA(stop) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount() - start < limit_ms) {
    Sleep(20);
  }
  CloseHandle(file);
  return 0;
}
