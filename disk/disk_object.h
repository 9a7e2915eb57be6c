// CDiskObject: file and folder work on ANSI paths (system code page) with a
// last-error text.
//
// Every operation that touches the disk first clears the error text, then
// normalises the paths it is given, stops at the first failure and returns
// false with the text describing that failure; work done before a failure is
// not undone. Nothing throws on a failed disk operation (memory exhaustion in
// string handling does propagate).
//
// Error texts:
//   a rejected argument (an empty path where one is needed, a path part
//   holding ':', '*' or '?')    "CDiskObject internal error - check call parameters"
//   a failed platform call       the system's message for its error code, a
//                                space, and the path concerned
//
// Paths: '/' and '\' are both accepted. A normalised folder uses backslashes
// only and ends with one. A relative path is taken relative to the process's
// current directory. Network paths ("\\server\share\...") are not validated.
//
// Links: what counts as one is IsLinkEntry's rule (disk/tree_walk.h), the
// same for every listing, copy and deletion here and for the update steps.
//
// Several operations change the process's current directory for a moment and
// always restore it before they return, so two threads must not run disk
// operations at the same time, even on different objects. When the current
// directory cannot be saved (its query fails, or it reads as a name that
// cannot be entered again: characters the system code page cannot spell),
// such an operation fails before changing it, with the system's message for
// the failed call, a space, and the directory as it read; the current
// directory stays where it is. Those operations are IsExistingFolder (so
// every listing and copy), MakeFolderPath, and the "..\" case of
// NormalizeFilePath.
#ifndef ORBEX_DISK_DISK_OBJECT_H_
#define ORBEX_DISK_DISK_OBJECT_H_

#include <string>
#include <vector>

#include "disk/path_string.h"  // StringList

class CDiskObject {
public:
    // The last error text; empty when the last operation succeeded.
    const std::string& GetErrorText() const { return m_errorText; }

    // Empties the error text.
    void ClearError();
    // Error text = "CDiskObject internal error - check call parameters".
    void SetInternalError();
    // Error text = the system's message for `code` with white space trimmed
    // from both ends, then " " + detail when the detail is not empty. Insert
    // sequences such as %1 stay as they stand. A code without a message
    // gives just " " + detail (or nothing).
    void SetSystemError(unsigned long code, const std::string& detail);

    // Rewrites `path` as a folder: slashes become backslashes and a trailing
    // backslash is added. A network path is then accepted as it is; any
    // other path goes through NormalizeFilePath. An empty path becomes the
    // current directory. False (internal error) when a part of the path
    // holds ':', '*' or '?'; the path may already be rewritten then. Leaves
    // the error text alone on success.
    bool NormalizeFolderPath(std::string& path);
    // Rewrites `path` as an absolute path: slashes become backslashes; a path
    // without a drive is completed from the current directory (leading "..\"
    // parts climb from it; a path starting with "\" takes its drive); a
    // network path and a path with a drive, even a drive-relative one such as
    // "C:name", stay as they are. False (internal error) when the folder
    // part, base name or extension holds ':', '*' or '?'; false with the
    // system text of the failed query and the path when the path needs the
    // current directory and that cannot be read; a leading "..\" part that
    // cannot climb because the current directory cannot be saved fails as
    // the header says. Leaves the error text alone on success; the current
    // directory is as before.
    bool NormalizeFilePath(std::string& path);
    // True when `text` holds none of ':', '*' and '?'. Sets no error text.
    static bool IsValidPathPart(const std::string& text);

    // True when `folder` names a folder that can be entered. A missing or
    // unenterable folder gives false with an empty error text: that is an
    // answer, not a failure. An empty or invalid path gives false with the
    // internal error; a current directory that cannot be saved gives false
    // with its error text (see the header).
    bool IsExistingFolder(const std::string& folder);

    // Adds the files directly in `folder` (not subfolders, not file links;
    // hidden, system and read-only files included) to `list` in
    // character-code order, upper case before lower case: bare names, or
    // folder + name when `fullPaths` is true. `list` should be empty or
    // already in that order; its elements stay. A folder that does not exist
    // or cannot be entered lists as empty with true. False when the folder
    // cannot be searched (error text: the system text and the search
    // pattern), when the current directory cannot be saved (see the header),
    // and when `folder` is itself a link (error text: the system text for
    // ERROR_CANT_ACCESS_FILE and the folder): a link is never entered. Every
    // operation below that lists a folder, so every copy and deletion,
    // inherits that refusal and touches nothing behind a link.
    bool ListFolderFiles(const std::string& folder, StringList& list, bool fullPaths);
    // As ListFolderFiles, for the names that match the wildcard `pattern`.
    bool ListFolderFilesMatching(const std::string& pattern, const std::string& folder,
                                 StringList& list, bool fullPaths);

    // Appends every subfolder of `folder`, in pre-order (a folder before the
    // folders below it), after what `list` already holds: full paths ending
    // with a backslash, or, when `fullPaths` is false, paths relative to the
    // folder without the trailing backslash ("sub", "sub\deeper"), a rewrite
    // that also applies to the elements that were already in the list. Links
    // are neither listed nor entered. False when a folder of the tree cannot
    // be searched (also when `folder` is missing or is a file) or its search
    // ends early with an error: the list keeps everything found before, and
    // the error text holds the failed search pattern. A listing cut short is
    // never reported as whole, so no copy or deletion acts on one. A `folder`
    // that is itself a link is refused as by ListFolderFiles.
    bool ListFolderTree(const std::string& folder, StringList& list, bool fullPaths);
    // The worker of ListFolderTree: appends full paths of the subfolders in
    // pre-order; same result and error text. It does not ask whether
    // `folder` itself is a link (ListFolderTree does, once).
    bool CollectSubfolders(const std::string& folder, StringList& list);

    // Creates every missing level of `folder`; existing levels are left as
    // they are. True when the whole path can be entered afterwards; the
    // current directory is restored either way. Errors: empty path (internal
    // error); a folder part longer than 255 UTF-16 units, the platform's
    // count, whatever its length in bytes (the "file name too long" system
    // text and the normalised path; nothing is created); the current
    // directory cannot be saved (see the header; nothing is created); the
    // path cannot be entered (system text and the path rebuilt from its
    // levels, without a trailing backslash).
    bool MakeFolderPath(const std::string& folder);

    // Copies the files directly in `source` into `target` in sorted order,
    // creating the target folder path first. Existing target files of the
    // same name are replaced; other target files stay. Copies keep the
    // source's attributes (a read-only file gives a read-only copy). A
    // missing source copies nothing and still creates the target. Stops at
    // the first file that cannot be copied (for example a read-only or
    // in-use target): error text holds "source -> target" of that file;
    // files copied before it stay. Each copy is written through to the disk
    // before the next one starts, so a true result survives a power cut; a
    // copy that cannot be flushed fails with the system text and its path.
    // A file link in `source` is not listed, so it is neither read nor
    // copied.
    bool CopyFolderFiles(const std::string& source, const std::string& target);
    // CopyFolderFiles for `source` and every subfolder below it (links
    // excluded), into the same relative place under `target`: empty
    // subfolders are reproduced, a folder's files are copied before those of
    // its subfolders, and what exists only in the target stays. Stops at the
    // first failure, with that failure's error text.
    bool CopyFolderTree(const std::string& source, const std::string& target);

    // Deletes the one file `path` (no trailing backslash is added). Fails for
    // an empty path (internal error) and for a missing, read-only or in-use
    // file (system text and the normalised path).
    bool DeleteOneFile(const std::string& path);
    // Deletes the files directly in `folder` in sorted order; subfolders and
    // their contents are not touched. Stops at the first file that cannot
    // be deleted (system text and its path). An empty path is refused with
    // the internal error rather than taken as the current directory.
    bool DeleteFolderFiles(const std::string& folder);
    // Deletes the files directly in `folder`, then the folder itself. Fails
    // while a subfolder is still there (its files are gone by then; the error
    // text holds the normalised folder path); an empty path is refused with
    // the internal error.
    bool DeleteFolder(const std::string& folder);
    // Deletes the whole tree below `folder` bottom-up, then the folder.
    // Stops at the first file or folder that cannot be removed; what was
    // deleted before stays deleted. A link inside the tree is neither
    // followed nor removed: nothing behind it is touched, so the folder
    // holding it cannot be removed and the result is false. A `folder` that
    // is itself a link is refused as by ListFolderFiles: neither the link nor
    // what it points to is touched (removing a link is not safe everywhere:
    // Wine removes an empty target instead). An empty path is refused with
    // the internal error.
    bool DeleteFolderTree(const std::string& folder);

private:
    // True, with the error text set, when the normalised `folder` is itself
    // a link.
    bool RefuseFolderLink(const std::string& folder);
    // A folder and its files, as the tree copy and deletion walk them.
    struct FolderFiles {
        std::string folder;  // normalised
        StringList names;    // sorted as ListFolderFiles sorts them
    };
    // One search per folder: appends the normalised `folder` and every
    // folder below it in pre-order (links excluded), each with its files
    // when `withFiles` is true. A folder is appended before it is searched.
    // False when a folder cannot be searched, with the error text of the
    // tree listing; what was found before stays in `tree`. The worker of
    // CollectSubfolders, and of the tree copy and deletion.
    bool CollectTreeFiles(const std::string& folder, std::vector<FolderFiles>& tree,
                          bool withFiles);
    // The steps of CopyFolderFiles and DeleteFolder after the listing, on
    // normalised folders, with the same results and error texts.
    bool CopyNamedFiles(const std::string& from, const std::string& to, const StringList& names);
    bool DeleteNamedFiles(const std::string& folder, const StringList& names);
    bool RemoveEmptiedFolder(const std::string& folder);
    // Clears the error text and normalises a copy of a path the operation
    // cannot do without: false with the internal error when it is empty,
    // false when it does not normalise.
    bool StartWithRequiredPath(const std::string& path, bool isFolder, std::string& normalised);

    std::string m_errorText;
};

#endif  // ORBEX_DISK_DISK_OBJECT_H_
