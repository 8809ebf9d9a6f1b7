#include "packages/rc_core/synced.h"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace rc_core {
namespace {

struct Entry {
  std::recursive_mutex lock;
  int users = 0;  // threads holding or waiting for `lock`; the entry goes when none are left
};

std::mutex g_tableMutex;
std::unordered_map<const void*, std::unique_ptr<Entry>>& Table() {
  static auto* table = new std::unordered_map<const void*, std::unique_ptr<Entry>>();
  return *table;
}

}  // namespace

SyncGuard::SyncGuard(const void* object) : object_(object) {
  Entry* entry;
  {
    std::lock_guard lock(g_tableMutex);
    auto& slot = Table()[object];
    if (!slot) slot = std::make_unique<Entry>();
    ++slot->users;
    entry = slot.get();
  }
  entry->lock.lock();
  entry_ = entry;
}

SyncGuard::~SyncGuard() {
  auto* entry = static_cast<Entry*>(entry_);
  entry->lock.unlock();
  std::lock_guard lock(g_tableMutex);
  if (--entry->users == 0) Table().erase(object_);
}

}  // namespace rc_core
