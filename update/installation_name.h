// Names derived from an installation's data folder: the named kernel objects
// that every launcher and stager of one installation share, and the test for
// one folder lying inside another.
//
// Portable: no Windows header. Paths come in "folded" form (full, long names,
// upper case, ending with a backslash; see FoldedFullPath in update_lock.h),
// as UTF-16 code units held in a std::u16string.
#ifndef ORBEX_UPDATE_INSTALLATION_NAME_H_
#define ORBEX_UPDATE_INSTALLATION_NAME_H_

#include <string>

// Where a named kernel object lives: in the namespace that every logon
// session shares ("Global\"), or in the caller's session alone ("Local\").
enum class ObjectScope { kAllSessions, kThisSession };

// "Global\Orbex-<purpose>-<16 hex digits>" (or "Local\..."): the digits are a
// 64-bit FNV-1a hash of the folded data folder, so the name stays far below
// the platform's 260-character limit for object names however long the path
// is. Two installations whose hashes collide only wait for each other;
// nothing is mixed. Empty `folded` gives an empty name.
std::string InstallationObjectName(const std::u16string& folded, const std::string& purpose,
                                   ObjectScope scope);

// True when folded path `inner` is `outer` itself or lies below it. Whole
// folder names only: C:\APP\ORBEXDATA2\ does not lie inside C:\APP\ORBEXDATA\.
// False when either is empty.
bool IsSameOrInside(const std::u16string& inner, const std::u16string& outer);

#endif  // ORBEX_UPDATE_INSTALLATION_NAME_H_
