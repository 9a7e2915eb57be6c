// Whole-file reads and writes that survive a power cut, for the files that
// a later run relies on (copies, staged files, the update machinery's
// lists and journal).
#ifndef ORBEX_DISK_FILE_IO_H_
#define ORBEX_DISK_FILE_IO_H_

#include <string>

// Writes the file's data through to the disk. 0, or the error code of the
// call that failed. The platform keeps written data in its cache, to be
// written lazily: a power cut soon after could leave the file empty or
// short although it was written without error. A read-only file gets its
// attribute lifted for the moment, as the flush needs a handle with write
// access, and back again.
unsigned long FlushFileToDisk(const std::string& path);

// Writes the folder's own entries through to the disk, so that the names
// made, renamed or deleted in it so far survive a power cut: a rename is
// otherwise only in the file system's cache (moving a file with
// MOVEFILE_WRITE_THROUGH does not change that; it flushes only a move done
// as a copy). `folder` may end with a backslash. 0, or the error code of the
// call that failed. The flush needs a handle with write access to the
// folder. NTFS writes its log of name changes up to this point, which holds
// every earlier change on the volume; under Wine it is an fsync of the
// folder.
unsigned long FlushFolderToDisk(const std::string& folder);

// The whole content of the file at `path`; false (with the error code) when
// it cannot be opened or read, or is larger than `maxBytes`. May throw
// std::bad_alloc.
bool ReadWholeFile(const std::string& path, std::string& content, unsigned long& errorCode,
                   size_t maxBytes);

// Writes `content` to the file at `path`, replacing it (or creating it), or
// with `append` after what an existing file holds; flushed to the disk
// before it returns. 0, or the error code of the call that failed (a file
// cut short may then be left behind).
unsigned long WriteFileThrough(const std::string& path, const std::string& content,
                               bool append = false);

#endif  // ORBEX_DISK_FILE_IO_H_
