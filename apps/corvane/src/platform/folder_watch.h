// Tells whether anything has changed in a set of folders since they were
// first watched, without looking at them again.
#pragma once

#include <memory>
#include <string>

namespace corvane {

class FolderWatch {
  public:
    // None when the system cannot watch folders at all (no watch left for
    // this user, too many open files).
    static std::unique_ptr<FolderWatch> open();
    virtual ~FolderWatch() = default;

    // Starts watching the folder at `path` itself (a link is not followed):
    // names added to it, removed or renamed, files in it written and closed
    // or their metadata changed, the folder removed or moved away. False when
    // it cannot be watched (not a folder, gone, no watch left for this user).
    virtual bool add(const std::string& path) = 0;

    // True once anything of the above happened in a watched folder after it
    // was added, or when changes may have been missed (the system dropped
    // some); stays true from then on.
    virtual bool changed() = 0;
};

}  // namespace corvane
