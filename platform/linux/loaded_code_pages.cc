#include "platform/linux/loaded_code_pages.h"

#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <utility>

#include "platform/process_info.h"

namespace veldane {
namespace {

struct Walk {
  uintptr_t pageSize = 0;
  uintptr_t vdso = 0;
  size_t advised = 0;
};

void advise(Walk& walk, uintptr_t from, uintptr_t to) {
  // Only whole pages inside the segment: a page shared with the neighbouring
  // one may be written.
  const uintptr_t start = (from + walk.pageSize - 1) & ~(walk.pageSize - 1);
  const uintptr_t end = to & ~(walk.pageSize - 1);
  if (end <= start) return;
  if (::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED) == 0) {
    walk.advised += end - start;
  }
}

int releaseObject(dl_phdr_info* info, size_t, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  const ElfW(Phdr)* headers = info->dlpi_phdr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (headers[i].p_type != PT_DYNAMIC) continue;
    const auto* dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + headers[i].p_vaddr);
    for (; dynamic->d_tag != DT_NULL; ++dynamic) {
      // Code patched at load time has private copies that must stay.
      if (dynamic->d_tag == DT_TEXTREL ||
          (dynamic->d_tag == DT_FLAGS && (dynamic->d_un.d_val & DF_TEXTREL) != 0)) {
        return 0;
      }
    }
  }
  // The headers lie in the first segment: read them all before releasing it,
  // or the next one read would bring its pages back.
  std::array<std::pair<uintptr_t, uintptr_t>, 16> segments;
  size_t count = 0;
  for (int i = 0; i < info->dlpi_phnum && count < segments.size(); ++i) {
    const ElfW(Phdr)& segment = headers[i];
    // Writable segments, the relocated and then protected part (RELRO) among
    // them, hold the program's own data, not the file's.
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0) continue;
    const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    const uintptr_t end = start + segment.p_memsz;
    // The kernel's own page has no file behind it.
    if (start <= walk.vdso && walk.vdso < end) continue;
    segments[count++] = {start, end};
  }
  for (size_t i = 0; i < count; ++i) advise(walk, segments[i].first, segments[i].second);
  return 0;
}

}  // namespace

namespace LoadedCodePages {

size_t release() {
  if (ProcessInfo::isTraced(static_cast<int32_t>(::getpid()))) return 0;
  Walk walk;
  walk.pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  walk.vdso = ::getauxval(AT_SYSINFO_EHDR);
  ::dl_iterate_phdr(releaseObject, &walk);
  return walk.advised;
}

}  // namespace LoadedCodePages
}  // namespace veldane
