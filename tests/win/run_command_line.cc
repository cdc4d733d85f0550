// Test helper: starts a program with a command line given byte for byte,
// waits for it and for every process it started (the program the shell
// opened a file with, say), and ends with the program's exit code. On
// stdout it writes "started" and a line end as its first act, and
// "exit CODE" and a line end at the end: a caller can tell a run that
// happened from a wine that started nothing and exited 0, and a wine that
// failed to start this launcher at all (nothing printed, so the program
// was never started either) from a launcher that started the program.
//
//   run_command_line.exe COMMAND-LINE-FILE [DRAIN-SECONDS]
//
// COMMAND-LINE-FILE holds the whole command line in the ANSI code page,
// program path first. Wine builds a command line from its own arguments
// by quoting rules of its own; this keeps the test in charge of it.
// DRAIN-SECONDS (default 20) bounds the wait for the started processes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool ReadWhole(const char* path, std::string* bytes) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes->append(buffer, got);
  }
  CloseHandle(file);
  return true;
}

DWORD ActiveProcesses(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
  if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation,
                                 &info, sizeof info, nullptr)) {
    return 0;
  }
  return info.ActiveProcesses;
}

}  // namespace

int main(int argc, char** argv) {
  printf("started\n");
  fflush(stdout);
  std::string command_line;
  if (argc < 2 || !ReadWhole(argv[1], &command_line)) {
    fprintf(stderr, "usage: run_command_line COMMAND-LINE-FILE [SECONDS]\n");
    return 125;
  }
  const DWORD drain_ms =
      static_cast<DWORD>((argc > 2 ? atof(argv[2]) : 20.0) * 1000);
  // Every process the program starts joins the job, so the wait below
  // covers them too.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
    fprintf(stderr, "run_command_line: cannot start (error %lu)\n",
            GetLastError());
    return 126;
  }
  if (job) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  if (job) {
    const ULONGLONG start = GetTickCount64();
    while (ActiveProcesses(job) > 0 && GetTickCount64() - start < drain_ms) {
      Sleep(20);
    }
  }
  printf("exit %d\n", static_cast<int>(exit_code));
  fflush(stdout);
  return static_cast<int>(exit_code);
}
