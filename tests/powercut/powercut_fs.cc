// A file system for power-cut tests. It serves, from memory, the tree of a
// backing folder and keeps beside what programs see what a disk would hold
// after a power cut, by the strictest POSIX reading:
//
//   - a file's bytes (and size) are on the disk only after an fsync or
//     fdatasync of that file; its mode and times only after an fsync;
//   - a new name (create, mkdir, link, the target of a rename) is on the
//     disk only after an fsync of its folder;
//   - a removed name (unlink, rmdir, the source of a rename, a name a
//     rename replaced) is gone from the disk at once, the worst case for
//     loss.
//
//   powercut_fs BACKING MOUNTPOINT CONTROL_SOCKET
//
// The backing folder is read once at start: its tree is the disk's
// starting state, all of it durable. The file system is driven through a
// Unix stream socket, one command a line, one answer a line:
//
//   options tmpfile=0|1 noreplace=0|1 link=0|1
//                 whether unnamed files (O_TMPFILE), the no-replace rename
//                 and hard links are served; refused they fail with
//                 EOPNOTSUPP, EINVAL and EPERM, as on file systems without
//                 them (default: all served)
//   arm K         puts the starting state back (what programs see and what
//                 the disk holds) and counts requests from 0; request K
//                 (from 1; 0: none) is then not answered: the file system
//                 writes "held K OPCODE" on this connection and waits
//   release       after "held": the held request and every later one fail
//                 with EIO and change nothing, until the next arm or reboot
//   disarm        stops waiting for a request; answers "count N", the
//                 requests counted since the arm
//   served        answers "served tmpfile N noreplace N link N": the
//                 unnamed files made, no-replace renames and links made
//                 since the arm
//   reboot        what the disk holds becomes what programs see, all of it
//                 durable, as after a power cut and a restart; answers
//                 "state HASH", a digest of the tree
//   dump DIR      writes what programs see into the folder DIR
//
// It ends when the mount is taken away (umount MOUNTPOINT).
//
// Requests that change nothing a disk holds and that the kernel sends on
// its own (FORGET, RELEASE, RELEASEDIR, INTERRUPT) are not counted, nor
// held. Every request is answered by one thread, in the order the kernel
// sent them, and reads are not sent ahead in the background. The kernel
// keeps names and attributes (everything changes through it) and is told
// to forget them when the tree is replaced (arm, reboot). Unnamed files
// come as FUSE_TMPFILE requests (Linux 6.1 and later), for which libfuse
// 3.14 has no operation: they are answered here from the raw request.
// After a reboot, two durable names of one file are two files. With
// POWERCUT_TRACE in the environment every counted request is written to
// stderr.

#define FUSE_USE_VERSION 34

#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/fuse.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A file's bytes, shared between what programs see and what the disk holds
// until one of them changes, with their digest once asked for.
struct Content {
  std::string bytes;
  bool hashed = false;
  uint64_t hash = 0;
};
using Bytes = std::shared_ptr<Content>;

struct Node {
  uint64_t id = 0;
  bool dir = false;
  mode_t mode = 0;  // permission bits
  uint32_t nlink = 0;
  timespec mtime{};
  timespec ctime{};
  // What programs see.
  Bytes data;                             // files
  std::map<std::string, uint64_t> names;  // folders
  // What the disk holds.
  Bytes durable_data;
  mode_t durable_mode = 0;
  timespec durable_mtime{};
  std::map<std::string, uint64_t> durable_names;
};

// A tree as read from the backing folder or rebuilt after a power cut.
struct ImageNode {
  bool dir = false;
  mode_t mode = 0;
  timespec mtime{};
  Bytes data;
  std::map<std::string, std::shared_ptr<ImageNode>> children;
};

struct Options {
  bool tmpfile = true;
  bool noreplace = true;
  bool link = true;
};

constexpr double kCacheSeconds = 3600;

std::mutex lock;
std::condition_variable changed;
std::map<uint64_t, std::unique_ptr<Node>> nodes;
uint64_t next_id = 2;
std::shared_ptr<ImageNode> image;
Options options;
uint64_t counted = 0;
uint64_t stop_at = 0;
bool held = false;
bool released = false;
bool frozen = false;
int control_fd = -1;
std::map<uint64_t, std::vector<std::pair<std::string, uint64_t>>> listings;
uint64_t next_listing = 1;
fuse_session* session = nullptr;
timespec last_time{};
bool trace = getenv("POWERCUT_TRACE") != nullptr;
// Publications served since the last arm, by kind.
struct Served {
  uint64_t tmpfile = 0;
  uint64_t noreplace = 0;
  uint64_t link = 0;
} served;
// The names of the root the kernel may keep, found or not, since the last
// reset: the nodes below them it forgets with them.
std::set<std::string> root_names;

void Seen(uint64_t parent, const char* name) {
  if (parent == FUSE_ROOT_ID) root_names.insert(name);
}

timespec Now() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  // Every change gets a later time than the one before, so that a folder
  // listing cached by its times is never taken for the same.
  if (now.tv_sec < last_time.tv_sec ||
      (now.tv_sec == last_time.tv_sec && now.tv_nsec <= last_time.tv_nsec)) {
    now = last_time;
    if (++now.tv_nsec == 1000000000) {
      now.tv_nsec = 0;
      ++now.tv_sec;
    }
  }
  last_time = now;
  return now;
}

Node* Find(uint64_t id) {
  const auto found = nodes.find(id);
  return found == nodes.end() ? nullptr : found->second.get();
}

Node* NewNode(bool dir, mode_t mode) {
  auto node = std::make_unique<Node>();
  node->id = next_id++;
  node->dir = dir;
  node->mode = mode & 07777;
  node->durable_mode = node->mode;
  node->nlink = dir ? 2 : 0;
  node->mtime = node->ctime = node->durable_mtime = Now();
  if (!dir) node->data = node->durable_data = std::make_shared<Content>();
  Node* raw = node.get();
  nodes[raw->id] = std::move(node);
  return raw;
}

// The visible bytes of a file, its own to change.
std::string& Writable(Node* node) {
  if (node->data.use_count() > 1) {
    node->data = std::make_shared<Content>(Content{node->data->bytes});
  }
  node->data->hashed = false;
  return node->data->bytes;
}

void Touch(Node* node) { node->mtime = node->ctime = Now(); }

void FillStat(const Node* node, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_ino = node->id;
  st->st_mode = (node->dir ? S_IFDIR : S_IFREG) | node->mode;
  st->st_nlink = node->nlink;
  st->st_size = node->dir ? 4096 : static_cast<off_t>(node->data->bytes.size());
  st->st_blksize = 4096;
  st->st_blocks = (st->st_size + 511) / 512;
  st->st_mtim = node->mtime;
  st->st_ctim = node->ctime;
  st->st_atim = node->mtime;
}

fuse_entry_param Entry(const Node* node) {
  fuse_entry_param e;
  std::memset(&e, 0, sizeof e);
  e.ino = node->id;
  e.generation = 1;
  // The kernel keeps names and attributes: every change goes through it.
  // A reset or a power cut tells it to forget them (Reset).
  e.attr_timeout = kCacheSeconds;
  e.entry_timeout = kCacheSeconds;
  FillStat(node, &e.attr);
  return e;
}

// --- the tree from and to folders -------------------------------------

std::shared_ptr<ImageNode> ReadImage(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return nullptr;
  auto node = std::make_shared<ImageNode>();
  node->mode = st.st_mode & 07777;
  node->mtime = st.st_mtim;
  if (S_ISDIR(st.st_mode)) {
    node->dir = true;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return nullptr;
    while (const dirent* item = readdir(dir)) {
      const std::string name = item->d_name;
      if (name == "." || name == "..") continue;
      if (auto child = ReadImage(path + "/" + name)) {
        node->children[name] = std::move(child);
      }
    }
    closedir(dir);
  } else if (S_ISREG(st.st_mode)) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    node->data = std::make_shared<Content>(Content{bytes.str()});
  } else {
    return nullptr;  // only files and folders are served
  }
  return node;
}

// Makes nodes for an image below parent's name, all of them durable.
uint64_t Plant(const ImageNode& image_node) {
  Node* node = NewNode(image_node.dir, image_node.mode);
  node->mtime = node->ctime = node->durable_mtime = image_node.mtime;
  if (image_node.dir) {
    for (const auto& [name, child] : image_node.children) {
      const uint64_t id = Plant(*child);
      Node* made = Find(id);
      ++(made->dir ? node->nlink : made->nlink);
      node->names[name] = id;
    }
    node->durable_names = node->names;
  } else {
    node->data = node->durable_data = image_node.data;
  }
  return node->id;
}

// Replaces every node by the image's; the root keeps its number. The kernel
// forgets every name and attribute it kept.
void Reset(const ImageNode& root_image) {
  if (const Node* root = Find(FUSE_ROOT_ID)) {
    for (const auto& [name, id] : root->names) root_names.insert(name);
  }
  for (const auto& [name, child] : root_image.children) {
    root_names.insert(name);
  }
  if (session != nullptr) {
    for (const std::string& name : root_names) {
      fuse_lowlevel_notify_inval_entry(session, FUSE_ROOT_ID, name.c_str(),
                                       name.size());
    }
    fuse_lowlevel_notify_inval_inode(session, FUSE_ROOT_ID, 0, 0);
  }
  root_names.clear();
  nodes.clear();
  listings.clear();
  const uint64_t root = Plant(root_image);
  auto node = std::move(nodes[root]);
  nodes.erase(root);
  node->id = FUSE_ROOT_ID;
  node->nlink = 2;
  for (const auto& [name, id] : node->names) {
    if (Find(id)->dir) ++node->nlink;
  }
  nodes[FUSE_ROOT_ID] = std::move(node);
}

uint64_t Mix(uint64_t hash, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 1099511628211u;
  }
  return hash;
}

uint64_t MixText(uint64_t hash, const std::string& text) {
  const uint64_t size = text.size();
  hash = Mix(hash, &size, sizeof size);
  return Mix(hash, text.data(), text.size());
}

// What the disk holds below node, as an image, and its digest.
std::shared_ptr<ImageNode> DurableImage(const Node& node, uint64_t* hash,
                                        int depth) {
  auto image_node = std::make_shared<ImageNode>();
  image_node->dir = node.dir;
  image_node->mode = node.durable_mode;
  image_node->mtime = node.durable_mtime;
  *hash = MixText(*hash, node.dir ? "d" : "f");
  if (!node.dir) {
    image_node->data = node.durable_data;
    Content& content = *node.durable_data;
    if (!content.hashed) {
      content.hash = MixText(14695981039346656037u, content.bytes);
      content.hashed = true;
    }
    *hash = Mix(*hash, &content.hash, sizeof content.hash);
    return image_node;
  }
  if (depth > 64) return image_node;
  for (const auto& [name, id] : node.durable_names) {
    const Node* child = Find(id);
    if (child == nullptr) continue;
    *hash = MixText(*hash, name);
    image_node->children[name] = DurableImage(*child, hash, depth + 1);
  }
  *hash = MixText(*hash, "end");
  return image_node;
}

bool WriteTree(const Node& node, const std::string& path) {
  if (node.dir) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    for (const auto& [name, id] : node.names) {
      const Node* child = Find(id);
      if (child != nullptr && !WriteTree(*child, path + "/" + name)) {
        return false;
      }
    }
    return chmod(path.c_str(), node.mode) == 0;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string& bytes = node.data->bytes;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return out.good() && chmod(path.c_str(), node.mode) == 0;
}

// --- requests ---------------------------------------------------------

void ReplyEntry(fuse_req_t req, const Node* node) {
  const fuse_entry_param e = Entry(node);
  fuse_reply_entry(req, &e);
}

void ReplyAttr(fuse_req_t req, const Node* node) {
  struct stat st;
  FillStat(node, &st);
  fuse_reply_attr(req, &st, kCacheSeconds);
}

Node* FolderOr(fuse_req_t req, fuse_ino_t id) {
  Node* node = Find(id);
  if (node == nullptr) {
    fuse_reply_err(req, ESTALE);
  } else if (!node->dir) {
    fuse_reply_err(req, ENOTDIR);
    node = nullptr;
  }
  return node;
}

Node* NodeOr(fuse_req_t req, fuse_ino_t id) {
  Node* node = Find(id);
  if (node == nullptr) fuse_reply_err(req, ESTALE);
  return node;
}

// A name is given to a node: visible at once, on the disk only after the
// folder's fsync. A durable name it replaces is gone at once.
void AddName(Node* folder, const std::string& name, Node* node) {
  Seen(folder->id, name.c_str());
  folder->names[name] = node->id;
  folder->durable_names.erase(name);
  ++(node->dir ? folder->nlink : node->nlink);
  node->ctime = Now();
  Touch(folder);
}

void DropName(Node* folder, const std::string& name) {
  const auto found = folder->names.find(name);
  if (found == folder->names.end()) return;
  Node* node = Find(found->second);
  folder->names.erase(found);
  folder->durable_names.erase(name);
  if (node != nullptr) {
    // A folder's own count stays with it (rmdir ends it); a file's drops.
    --(node->dir ? folder->nlink : node->nlink);
    node->ctime = Now();
  }
  Touch(folder);
}

void DoLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Node* folder = FolderOr(req, parent);
  if (folder == nullptr) return;
  Seen(parent, name);
  const auto found = folder->names.find(name);
  if (found == folder->names.end()) {
    // A name not there, which the kernel keeps as well.
    fuse_entry_param e;
    std::memset(&e, 0, sizeof e);
    e.entry_timeout = kCacheSeconds;
    fuse_reply_entry(req, &e);
    return;
  }
  ReplyEntry(req, Find(found->second));
}

void DoGetattr(fuse_req_t req, fuse_ino_t id, fuse_file_info*) {
  if (Node* node = NodeOr(req, id)) ReplyAttr(req, node);
}

void DoSetattr(fuse_req_t req, fuse_ino_t id, struct stat* attr, int to_set,
               fuse_file_info*) {
  Node* node = NodeOr(req, id);
  if (node == nullptr) return;
  if (to_set & FUSE_SET_ATTR_MODE) node->mode = attr->st_mode & 07777;
  if (to_set & FUSE_SET_ATTR_SIZE) {
    if (node->dir) {
      fuse_reply_err(req, EISDIR);
      return;
    }
    Writable(node).resize(static_cast<size_t>(attr->st_size));
    node->mtime = Now();
  }
  if (to_set & FUSE_SET_ATTR_MTIME_NOW) {
    node->mtime = Now();
  } else if (to_set & FUSE_SET_ATTR_MTIME) {
    node->mtime = attr->st_mtim;
  }
  node->ctime = Now();
  ReplyAttr(req, node);
}

void Make(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
          bool dir, fuse_file_info* fi) {
  Node* folder = FolderOr(req, parent);
  if (folder == nullptr) return;
  if (folder->names.count(name) != 0) {
    fuse_reply_err(req, EEXIST);
    return;
  }
  Node* node = NewNode(dir, mode);
  AddName(folder, name, node);
  if (fi != nullptr) {
    fi->fh = node->id;
    fi->direct_io = 0;
    fi->keep_cache = 0;
    const fuse_entry_param e = Entry(node);
    fuse_reply_create(req, &e, fi);
    return;
  }
  ReplyEntry(req, node);
}

void DoMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
             dev_t) {
  if (!S_ISREG(mode)) {
    fuse_reply_err(req, EPERM);
    return;
  }
  Make(req, parent, name, mode, false, nullptr);
}

void DoMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  Make(req, parent, name, mode, true, nullptr);
}

void DoCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
              fuse_file_info* fi) {
  Make(req, parent, name, mode, false, fi);
}

void DoUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Node* folder = FolderOr(req, parent);
  if (folder == nullptr) return;
  const auto found = folder->names.find(name);
  if (found == folder->names.end()) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  if (Find(found->second)->dir) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  DropName(folder, name);
  fuse_reply_err(req, 0);
}

void DoRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Node* folder = FolderOr(req, parent);
  if (folder == nullptr) return;
  const auto found = folder->names.find(name);
  if (found == folder->names.end()) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  const uint64_t found_id = found->second;
  const Node* node = Find(found_id);
  if (!node->dir) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  if (!node->names.empty()) {
    fuse_reply_err(req, ENOTEMPTY);
    return;
  }
  DropName(folder, name);
  Find(found_id)->nlink = 0;
  fuse_reply_err(req, 0);
}

void DoRename(fuse_req_t req, fuse_ino_t parent, const char* name,
              fuse_ino_t new_parent, const char* new_name, unsigned int flags) {
  if (flags != 0 && (flags != RENAME_NOREPLACE || !options.noreplace)) {
    fuse_reply_err(req, EINVAL);
    return;
  }
  Node* from = FolderOr(req, parent);
  if (from == nullptr) return;
  Node* to = FolderOr(req, new_parent);
  if (to == nullptr) return;
  const auto found = from->names.find(name);
  if (found == from->names.end()) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  Node* node = Find(found->second);
  const auto taken = to->names.find(new_name);
  if (taken != to->names.end()) {
    if (taken->second == node->id) {
      fuse_reply_err(req, 0);
      return;
    }
    if (flags == RENAME_NOREPLACE) {
      fuse_reply_err(req, EEXIST);
      return;
    }
    const Node* old = Find(taken->second);
    if (old->dir != node->dir) {
      fuse_reply_err(req, old->dir ? EISDIR : ENOTDIR);
      return;
    }
    if (old->dir && !old->names.empty()) {
      fuse_reply_err(req, ENOTEMPTY);
      return;
    }
    DropName(to, new_name);
  }
  // The source name is gone at once; the new one waits for the folder's
  // fsync.
  DropName(from, name);
  AddName(to, new_name, node);
  if (flags == RENAME_NOREPLACE) ++served.noreplace;
  fuse_reply_err(req, 0);
}

void DoLink(fuse_req_t req, fuse_ino_t id, fuse_ino_t new_parent,
            const char* new_name) {
  if (!options.link) {
    fuse_reply_err(req, EPERM);
    return;
  }
  Node* node = NodeOr(req, id);
  if (node == nullptr) return;
  Node* to = FolderOr(req, new_parent);
  if (to == nullptr) return;
  if (node->dir) {
    fuse_reply_err(req, EPERM);
    return;
  }
  if (to->names.count(new_name) != 0) {
    fuse_reply_err(req, EEXIST);
    return;
  }
  AddName(to, new_name, node);
  ++served.link;
  ReplyEntry(req, node);
}

void DoOpen(fuse_req_t req, fuse_ino_t id, fuse_file_info* fi) {
  Node* node = NodeOr(req, id);
  if (node == nullptr) return;
  if (node->dir) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  if (fi->flags & O_TRUNC) {
    Writable(node).clear();
    Touch(node);
  }
  fi->fh = node->id;
  fi->keep_cache = 0;
  fuse_reply_open(req, fi);
}

void DoRead(fuse_req_t req, fuse_ino_t id, size_t size, off_t offset,
            fuse_file_info*) {
  Node* node = NodeOr(req, id);
  if (node == nullptr) return;
  const std::string& data = node->data->bytes;
  if (offset < 0 || static_cast<size_t>(offset) >= data.size()) {
    fuse_reply_buf(req, nullptr, 0);
    return;
  }
  const size_t take = std::min(size, data.size() - static_cast<size_t>(offset));
  fuse_reply_buf(req, data.data() + offset, take);
}

void DoWrite(fuse_req_t req, fuse_ino_t id, const char* buf, size_t size,
             off_t offset, fuse_file_info*) {
  Node* node = NodeOr(req, id);
  if (node == nullptr) return;
  std::string& data = Writable(node);
  const size_t end = static_cast<size_t>(offset) + size;
  if (data.size() < end) data.resize(end);
  std::memcpy(data.data() + offset, buf, size);
  Touch(node);
  fuse_reply_write(req, size);
}

void DoCopyRange(fuse_req_t req, fuse_ino_t in_id, off_t in_offset,
                 fuse_file_info*, fuse_ino_t out_id, off_t out_offset,
                 fuse_file_info*, size_t size, int) {
  Node* in = NodeOr(req, in_id);
  if (in == nullptr) return;
  Node* out = NodeOr(req, out_id);
  if (out == nullptr) return;
  // Held here: should in and out be one file, the write below changes a
  // copy.
  const Bytes held_source = in->data;
  const std::string& source = held_source->bytes;
  if (in_offset < 0 || static_cast<size_t>(in_offset) >= source.size()) {
    fuse_reply_write(req, 0);
    return;
  }
  const size_t take =
      std::min(size, source.size() - static_cast<size_t>(in_offset));
  std::string& data = Writable(out);
  const size_t end = static_cast<size_t>(out_offset) + take;
  if (data.size() < end) data.resize(end);
  std::memcpy(data.data() + out_offset, source.data() + in_offset, take);
  Touch(out);
  fuse_reply_write(req, take);
}

void DoFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
  fuse_reply_err(req, 0);
}

void DoRelease(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
  fuse_reply_err(req, 0);
}

// A file's flush: its bytes and size reach the disk; with a full fsync its
// mode and times too.
void DoFsync(fuse_req_t req, fuse_ino_t id, int datasync, fuse_file_info*) {
  Node* node = NodeOr(req, id);
  if (node == nullptr) return;
  if (node->dir) {
    node->durable_names = node->names;
  } else {
    node->durable_data = node->data;
  }
  if (!datasync) {
    node->durable_mode = node->mode;
    node->durable_mtime = node->mtime;
  }
  fuse_reply_err(req, 0);
}

void DoOpendir(fuse_req_t req, fuse_ino_t id, fuse_file_info* fi) {
  Node* node = FolderOr(req, id);
  if (node == nullptr) return;
  auto& listing = listings[next_listing];
  listing.emplace_back(".", node->id);
  listing.emplace_back("..", node->id);
  for (const auto& [name, child] : node->names) {
    listing.emplace_back(name, child);
  }
  fi->fh = next_listing++;
  fuse_reply_open(req, fi);
}

void DoReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset,
               fuse_file_info* fi) {
  const auto found = listings.find(fi->fh);
  if (found == listings.end()) {
    fuse_reply_err(req, EBADF);
    return;
  }
  std::string buffer(size, '\0');
  size_t used = 0;
  for (size_t i = static_cast<size_t>(offset); i < found->second.size(); ++i) {
    const auto& [name, id] = found->second[i];
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_ino = id;
    const Node* node = Find(id);
    st.st_mode = node != nullptr && !node->dir ? S_IFREG : S_IFDIR;
    const size_t need =
        fuse_add_direntry(req, buffer.data() + used, size - used, name.c_str(),
                          &st, static_cast<off_t>(i + 1));
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void DoReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  listings.erase(fi->fh);
  fuse_reply_err(req, 0);
}

void DoFsyncdir(fuse_req_t req, fuse_ino_t id, int datasync,
                fuse_file_info* fi) {
  DoFsync(req, id, datasync, fi);
}

void DoStatfs(fuse_req_t req, fuse_ino_t) {
  struct statvfs st;
  std::memset(&st, 0, sizeof st);
  st.f_bsize = st.f_frsize = 4096;
  st.f_blocks = st.f_bfree = st.f_bavail = 1 << 24;
  st.f_files = st.f_ffree = 1 << 20;
  st.f_namemax = 255;
  fuse_reply_statfs(req, &st);
}

void DoInit(void*, fuse_conn_info* conn) {
  // One request at a time, in the order the program made them: no
  // read-ahead in the background, no splicing, no listing with attributes.
  conn->want &=
      ~(FUSE_CAP_ASYNC_READ | FUSE_CAP_SPLICE_READ | FUSE_CAP_SPLICE_WRITE |
        FUSE_CAP_SPLICE_MOVE | FUSE_CAP_READDIRPLUS |
        FUSE_CAP_READDIRPLUS_AUTO | FUSE_CAP_WRITEBACK_CACHE);
  conn->max_write = 1 << 20;
  conn->max_readahead = 1 << 20;
}

// --- the request loop -------------------------------------------------

void Reply(uint64_t unique, int error, const std::vector<iovec>& payload) {
  fuse_out_header out{};
  out.unique = unique;
  out.error = -error;
  std::vector<iovec> parts;
  parts.push_back({&out, sizeof out});
  size_t length = sizeof out;
  for (const iovec& part : payload) {
    parts.push_back(part);
    length += part.iov_len;
  }
  out.len = static_cast<uint32_t>(length);
  if (writev(fuse_session_fd(session), parts.data(),
             static_cast<int>(parts.size())) < 0) {
    perror("powercut_fs: reply");
  }
}

// An unnamed file in a folder (O_TMPFILE), which this libfuse does not
// pass on: answered here, as a create that gives no name.
void Tmpfile(const fuse_in_header& header, const char* body) {
  if (!options.tmpfile) {
    // Not ENOSYS: the kernel would then stop asking for the whole mount.
    Reply(header.unique, EOPNOTSUPP, {});
    return;
  }
  Node* folder = Find(header.nodeid);
  if (folder == nullptr || !folder->dir) {
    Reply(header.unique, folder == nullptr ? ESTALE : ENOTDIR, {});
    return;
  }
  fuse_create_in in{};
  std::memcpy(&in, body, sizeof in);
  Node* node = NewNode(false, in.mode & ~in.umask);
  fuse_entry_out entry{};
  fuse_open_out open{};
  entry.nodeid = node->id;
  entry.generation = 1;
  struct stat st;
  FillStat(node, &st);
  entry.attr.ino = st.st_ino;
  entry.attr.size = static_cast<uint64_t>(st.st_size);
  entry.attr.blocks = static_cast<uint64_t>(st.st_blocks);
  entry.attr.mtime = entry.attr.atime = entry.attr.ctime =
      static_cast<uint64_t>(st.st_mtim.tv_sec);
  entry.attr.mtimensec = entry.attr.atimensec = entry.attr.ctimensec =
      static_cast<uint32_t>(st.st_mtim.tv_nsec);
  entry.attr.mode = st.st_mode;
  entry.attr.nlink = 0;
  entry.attr.blksize = 4096;
  open.fh = node->id;
  ++served.tmpfile;
  Reply(header.unique, 0, {{&entry, sizeof entry}, {&open, sizeof open}});
}

bool Counted(uint32_t opcode) {
  return opcode != FUSE_FORGET && opcode != FUSE_BATCH_FORGET &&
         opcode != FUSE_INTERRUPT && opcode != FUSE_RELEASE &&
         opcode != FUSE_RELEASEDIR && opcode != FUSE_INIT &&
         opcode != FUSE_DESTROY;
}

bool Answered(uint32_t opcode) {
  return opcode != FUSE_FORGET && opcode != FUSE_BATCH_FORGET &&
         opcode != FUSE_INTERRUPT;
}

void Tell(int fd, const std::string& line) {
  if (fd < 0) return;
  const std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) < 0) {
    perror("powercut_fs: control");
  }
}

void Loop() {
  fuse_buf buffer{};
  while (!fuse_session_exited(session)) {
    const int got = fuse_session_receive_buf(session, &buffer);
    if (got == -EINTR) continue;
    if (got <= 0) break;
    fuse_in_header header;
    std::memcpy(&header, buffer.mem, sizeof header);
    const char* body = static_cast<const char*>(buffer.mem) + sizeof header;
    std::unique_lock<std::mutex> guard(lock);
    if (Counted(header.opcode) && !frozen) {
      ++counted;
      if (trace) {
        std::fprintf(stderr, "request %llu opcode %u node %llu\n",
                     static_cast<unsigned long long>(counted), header.opcode,
                     static_cast<unsigned long long>(header.nodeid));
      }
      if (counted == stop_at) {
        held = true;
        Tell(control_fd, "held " + std::to_string(counted) + " " +
                             std::to_string(header.opcode));
        changed.wait(guard, [] { return released; });
        frozen = true;
      }
    }
    if (frozen && header.opcode != FUSE_DESTROY) {
      if (Answered(header.opcode)) Reply(header.unique, EIO, {});
      continue;
    }
    if (header.opcode == FUSE_TMPFILE) {
      Tmpfile(header, body);
      continue;
    }
    fuse_buf one = buffer;
    one.size = static_cast<size_t>(got);
    fuse_session_process_buf(session, &one);
  }
  free(buffer.mem);
}

// --- the control socket -----------------------------------------------

std::string Command(const std::string& line, int fd) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  std::unique_lock<std::mutex> guard(lock);
  if (verb == "options") {
    std::string item;
    while (words >> item) {
      const size_t equals = item.find('=');
      const std::string key = item.substr(0, equals);
      const bool on =
          equals != std::string::npos && item.substr(equals + 1) == "1";
      if (key == "tmpfile") {
        options.tmpfile = on;
      } else if (key == "noreplace") {
        options.noreplace = on;
      } else if (key == "link") {
        options.link = on;
      } else {
        return "error unknown option " + key;
      }
    }
    return "ok";
  }
  if (verb == "arm") {
    uint64_t k = 0;
    words >> k;
    Reset(*image);
    counted = 0;
    served = Served();
    stop_at = k;
    held = released = frozen = false;
    control_fd = fd;
    return "ok";
  }
  if (verb == "release") {
    released = true;
    changed.notify_all();
    return "ok";
  }
  if (verb == "served") {
    return "served tmpfile " + std::to_string(served.tmpfile) + " noreplace " +
           std::to_string(served.noreplace) + " link " +
           std::to_string(served.link);
  }
  if (verb == "disarm") {
    stop_at = 0;
    return "count " + std::to_string(counted);
  }
  if (verb == "reboot") {
    uint64_t hash = 14695981039346656037u;
    const auto durable = DurableImage(*Find(FUSE_ROOT_ID), &hash, 0);
    Reset(*durable);
    counted = 0;
    stop_at = 0;
    held = released = frozen = false;
    char text[32];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(hash));
    return std::string("state ") + text;
  }
  if (verb == "dump") {
    std::string path;
    words >> path;
    return WriteTree(*Find(FUSE_ROOT_ID), path) ? "ok" : "error dump";
  }
  return "error unknown command " + verb;
}

void Serve(int listener) {
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    std::string pending;
    char chunk[4096];
    for (;;) {
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got <= 0) break;
      pending.append(chunk, static_cast<size_t>(got));
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        const std::string answer = Command(line, fd);
        {
          std::lock_guard<std::mutex> guard(lock);
          Tell(fd, answer);
        }
      }
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      if (control_fd == fd) control_fd = -1;
      // A held request is let go when its controller goes away.
      released = true;
      changed.notify_all();
    }
    close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: powercut_fs BACKING MOUNTPOINT CONTROL_SOCKET\n");
    return 2;
  }
  image = ReadImage(argv[1]);
  if (image == nullptr || !image->dir) {
    std::fprintf(stderr, "powercut_fs: cannot read the folder %s\n", argv[1]);
    return 2;
  }
  Reset(*image);

  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", argv[3]);
  unlink(argv[3]);
  if (listener < 0 ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
          0 ||
      listen(listener, 4) != 0) {
    perror("powercut_fs: control socket");
    return 2;
  }

  fuse_lowlevel_ops ops{};
  ops.init = DoInit;
  ops.lookup = DoLookup;
  ops.getattr = DoGetattr;
  ops.setattr = DoSetattr;
  ops.mknod = DoMknod;
  ops.mkdir = DoMkdir;
  ops.unlink = DoUnlink;
  ops.rmdir = DoRmdir;
  ops.rename = DoRename;
  ops.link = DoLink;
  ops.open = DoOpen;
  ops.read = DoRead;
  ops.write = DoWrite;
  ops.flush = DoFlush;
  ops.release = DoRelease;
  ops.fsync = DoFsync;
  ops.opendir = DoOpendir;
  ops.readdir = DoReaddir;
  ops.releasedir = DoReleasedir;
  ops.fsyncdir = DoFsyncdir;
  ops.statfs = DoStatfs;
  ops.create = DoCreate;
  ops.copy_file_range = DoCopyRange;

  char program[] = "powercut_fs";
  char option[] = "-o";
  char mount_options[] = "fsname=powercut,subtype=powercut,default_permissions";
  char* fuse_argv[] = {program, option, mount_options, nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
  session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (session == nullptr) return 1;
  if (fuse_session_mount(session, argv[2]) != 0) {
    fuse_session_destroy(session);
    return 1;
  }
  std::thread control(Serve, listener);
  control.detach();
  // Ready: the mount is in place and the socket listens.
  std::printf("ready\n");
  std::fflush(stdout);
  Loop();
  fuse_session_unmount(session);
  fuse_session_destroy(session);
  return 0;
}
