// The bare file work of a job, done in-process with plain system calls and
// nothing else, for the floors in bench/run. Runs the steps given on the
// command line in order and prints the nanoseconds they took together
// (the process start and exit are not counted):
//
//   floor_bench STEP...
//
//   read FILE          reads FILE in 64 KiB blocks
//   compare A B        learns each file's length through an open of its
//                      own (open, fstat, close), then reads both in
//                      passes of 16 KiB up to the first difference
//                      (memcmp): an identity check's length test comes
//                      first and its two buffers are of 16 KiB, so a job
//                      cannot do with less
//   duplicate A B      compares A with B as compare does, flushes B
//                      (fdatasync) and deletes A at the next settle, once
//                      B's folder is flushed: what a duplicate's source
//                      needs before it may go
//   list FOLDER        lists the folder's names once: the sweep of a
//                      message's folder for stale work files, or the
//                      listing a numbered name may take
//   look PATH          looks PATH up (stat), found or not: a run tests
//                      the destination folder, the attachment and the
//                      destination name of each attachment line
//   move SOURCE DEST   copies SOURCE in the kernel (copy_file_range, each
//                      8 MiB handed to the disk at once) to a
//                      new unnamed file of DEST's folder (O_TMPFILE),
//                      gives it SOURCE's last-write time and permissions
//                      (futimens, fchmod), as the system's file copy does,
//                      flushes it (fdatasync) and only then links it to
//                      the name DEST: a copy takes its name once its bytes
//                      are on the disk, so that a power cut never leaves
//                      a part of one under an attachment's name; SOURCE
//                      goes at the next settle
//   settle             flushes the folder of each DEST moved into since the
//                      last settle once (fsync), then deletes the moves'
//                      sources: with the fdatasync of each move, the
//                      flushes a durable move needs, one folder flush per
//                      run; moves not yet settled are settled at the end
//   delete FILE        deletes FILE
//   log FILE BYTES     creates FILE, writes BYTES bytes (the local date and
//                      time first, as a log begins), closes it
//
// Exit code 0, or 1 when a step failed (with the step on stderr).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

bool Fail(const char* step, const char* path) {
  std::fprintf(stderr, "floor_bench: %s %s: %s\n", step, path,
               std::strerror(errno));
  return false;
}

bool Read(const char* path) {
  alignas(4096) static char block[64 * 1024];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail("read", path);
  ssize_t got;
  while ((got = read(fd, block, sizeof block)) > 0) {
  }
  close(fd);
  return got == 0 || Fail("read", path);
}

// The length of the file at path, through an open of its own.
bool Length(const char* path, off_t* length) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return Fail("compare", path);
  close(fd);
  *length = st.st_size;
  return true;
}

// With flush, the second file is flushed before it is closed.
bool Compare(const char* first, const char* second, bool flush = false) {
  alignas(4096) static char a[16 * 1024], b[16 * 1024];
  off_t first_length = 0, second_length = 0;
  if (!Length(first, &first_length) || !Length(second, &second_length)) {
    return false;
  }
  if (first_length != second_length) return true;
  const int fa = open(first, O_RDONLY | O_CLOEXEC);
  const int fb = open(second, O_RDONLY | O_CLOEXEC);
  if (fa < 0 || fb < 0) return Fail("compare", first);
  for (;;) {
    const ssize_t na = read(fa, a, sizeof a);
    const ssize_t nb = read(fb, b, sizeof b);
    if (na <= 0 || na != nb || std::memcmp(a, b, static_cast<size_t>(na))) {
      break;
    }
  }
  const bool flushed = !flush || fdatasync(fb) == 0;
  close(fa);
  close(fb);
  return flushed || Fail("duplicate", second);
}

bool List(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return Fail("list", folder);
  size_t count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count > 0;
}

// The moves whose sources wait for their folders' flush.
struct Pending {
  std::vector<std::string> sources;
  std::vector<std::string> folders;
};

// The folder part of path.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "."
         : slash == 0               ? "/"
                                    : path.substr(0, slash);
}

// The source waits for the flush of destination's folder.
void Hold(const char* source, const char* destination, Pending& pending) {
  const std::string folder = FolderOf(destination);
  bool known = false;
  for (const std::string& f : pending.folders) known = known || f == folder;
  if (!known) pending.folders.push_back(folder);
  pending.sources.push_back(source);
}

bool Move(const char* source, const char* destination, Pending& pending) {
  const int in = open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("move", source);
  const std::string path = destination;
  const std::string folder = FolderOf(path);
  const int at = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (at < 0) return Fail("move", folder.c_str());
  // The copy takes its name only once its bytes are on the disk: it is
  // made unnamed and linked to the name after its flush.
  const int out = openat(at, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (out < 0) return Fail("move", destination);
  struct stat st;
  if (fstat(in, &st) != 0) return Fail("move", source);
  // In stretches of 8 MiB, each handed to the disk while the next is
  // copied, so that the flush waits for the last stretch alone.
  constexpr off_t kStretch = off_t{8} << 20;
  off_t copied = 0;
  while (copied < st.st_size) {
    const ssize_t done = copy_file_range(
        in, nullptr, out, nullptr,
        static_cast<size_t>(std::min(kStretch, st.st_size - copied)), 0);
    if (done <= 0) return Fail("move", destination);
    if (done == kStretch) {
      sync_file_range(out, copied, done, SYNC_FILE_RANGE_WRITE);
    }
    copied += done;
  }
  // The copy keeps the source's last-write time and permissions, as the
  // system's own file copy does.
  const timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  if (futimens(out, times) != 0 || fchmod(out, st.st_mode & 0777) != 0) {
    return Fail("move", destination);
  }
  if (fdatasync(out) != 0) return Fail("move", destination);
  const std::string self = "/proc/self/fd/" + std::to_string(out);
  const std::string name = path.substr(path.rfind('/') + 1);
  if (linkat(AT_FDCWD, self.c_str(), at, name.c_str(), AT_SYMLINK_FOLLOW) !=
      0) {
    return Fail("move", destination);
  }
  close(in);
  close(out);
  close(at);
  Hold(source, destination, pending);
  return true;
}

bool Settle(Pending& pending) {
  for (const std::string& folder : pending.folders) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) return Fail("settle", folder.c_str());
    close(fd);
  }
  for (const std::string& source : pending.sources) {
    if (unlink(source.c_str()) != 0) return Fail("settle", source.c_str());
  }
  pending = Pending();
  return true;
}

bool Log(const char* path, size_t bytes) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Fail("log", path);
  // A log begins with the local date and time.
  const time_t now = time(nullptr);
  struct tm local {};
  char date[32] = "";
  localtime_r(&now, &local);
  std::string text(
      date, std::strftime(date, sizeof date, "%m/%d/%y %H:%M:%S\r\n", &local));
  if (text.size() < bytes) text.append(bytes - text.size(), 'x');
  const bool written =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(bytes);
  close(fd);
  return written || Fail("log", path);
}

long long Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Pending pending;
  const long long start = Now();
  for (size_t i = 0; i < args.size();) {
    const std::string& step = args[i];
    const auto arg = [&](size_t k) {
      if (i + k >= args.size()) {
        std::fprintf(stderr, "floor_bench: %s needs more paths\n",
                     step.c_str());
        std::exit(2);
      }
      return args[i + k].c_str();
    };
    bool ok = false;
    if (step == "read") {
      ok = Read(arg(1));
      i += 2;
    } else if (step == "compare") {
      ok = Compare(arg(1), arg(2));
      i += 3;
    } else if (step == "duplicate") {
      ok = Compare(arg(1), arg(2), true);
      if (ok) Hold(arg(1), arg(2), pending);
      i += 3;
    } else if (step == "list") {
      ok = List(arg(1));
      i += 2;
    } else if (step == "look") {
      // What is there is the job's to learn; nothing there is no failure.
      struct stat st;
      stat(arg(1), &st);
      ok = true;
      i += 2;
    } else if (step == "move") {
      ok = Move(arg(1), arg(2), pending);
      i += 3;
    } else if (step == "settle") {
      ok = Settle(pending);
      i += 1;
    } else if (step == "delete") {
      ok = unlink(arg(1)) == 0 || Fail("delete", arg(1));
      i += 2;
    } else if (step == "log") {
      ok = Log(arg(1), std::strtoul(arg(2), nullptr, 10));
      i += 3;
    } else {
      std::fprintf(stderr, "floor_bench: unknown step %s\n", step.c_str());
      return 2;
    }
    if (!ok) return 1;
  }
  if (!Settle(pending)) return 1;
  std::printf("%lld\n", Now() - start);
  return 0;
}
