// What the browser's C library lacks of the calls the core makes on its files. The module's
// files live in its memory: they have no extended attributes, and nothing to write back.
#include <emscripten.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>

// The library's dup opens the file again by its name, which a scratch file no longer has (or
// names another file by then): the copy is made of the open file itself.
EM_JS(int, CopyOpenFile, (int fd), {
  var stream = FS.getStream(fd);
  return stream ? FS.createStream(stream, 0).fd : -1;
});

int dup(int fd) {
  const int copy = CopyOpenFile(fd);
  if (copy < 0)
    errno = EBADF;
  return copy;
}

// Its fstat looks the file up by its name too: an open scratch file without one is asked.
EM_JS(int, StatOpenFile, (int fd, struct stat* buffer), {
  var stream = FS.getStream(fd);
  if (!stream)
    return -1;
  var node = stream.node;
  return SYSCALLS.doStat(
      function() { return node.node_ops.getattr(node); }, stream.path, buffer);
});

int fstat(int fd, struct stat* buffer) {
  if (StatOpenFile(fd, buffer) != 0) {
    errno = EBADF;
    return -1;
  }
  return 0;
}

ssize_t listxattr(const char* path, char* list, size_t size) {
  (void)path, (void)list, (void)size;
  return 0;
}

ssize_t getxattr(const char* path, const char* name, void* value, size_t size) {
  (void)path, (void)name, (void)value, (void)size;
  errno = ENOTSUP;
  return -1;
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  (void)fd, (void)name, (void)value, (void)size, (void)flags;
  errno = ENOTSUP;
  return -1;
}

int sync_file_range(int fd, off_t offset, off_t count, unsigned flags) {
  (void)fd, (void)offset, (void)count, (void)flags;
  return 0;
}
