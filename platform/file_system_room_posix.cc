#include "platform/file_system_room.h"

#include <sys/statvfs.h>

namespace veldane {

bool hasRoomToWrite(const std::string& directory) {
  struct statvfs room {};
  if (::statvfs(directory.c_str(), &room) != 0) return true;
  if ((room.f_flag & ST_RDONLY) != 0) return false;
  // A temporary file beside the old one takes a block and an inode until the
  // rename; a file system that counts no inodes reports none as free.
  return room.f_bavail > 0 && (room.f_files == 0 || room.f_favail > 0);
}

}  // namespace veldane
