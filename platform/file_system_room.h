#ifndef VELDANE_PLATFORM_FILE_SYSTEM_ROOM_H_
#define VELDANE_PLATFORM_FILE_SYSTEM_ROOM_H_

#include <string>

namespace veldane {

// Whether a small file can be written into `directory` as this user: its file
// system is writable and has a free block and a free inode left for a user
// that is not the superuser. True when the file system cannot be asked, so
// that a failed question never changes a judgement.
bool hasRoomToWrite(const std::string& directory);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_FILE_SYSTEM_ROOM_H_
