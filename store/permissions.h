// Who may use an instance's files: the tightening of an instance whose files
// an older version made open to every local user.
//
// Anyone who could write admin.pwd could log in, and anyone who could write a
// group file could choose the command its notification runs as the checking
// account. New files get their modes from the programs' file-creation mask and
// the modes of common/files.h; an instance made before keeps its wide modes
// until a program that owns the files starts: both programs call
// tightenInstance at start, which takes away every permission of others in
// ./vydata and leaves the credential files (./vydata/admin.pwd, ./.htpasswd)
// to their owner alone. What another user owns is left as it is.
#ifndef VANTRY_STORE_PERMISSIONS_H_
#define VANTRY_STORE_PERMISSIONS_H_

namespace vy {

// Cheap once done: the walk through ./vydata runs only while the data
// directory itself still lets others in, and it narrows the directory last.
void tightenInstance();

}  // namespace vy

#endif  // VANTRY_STORE_PERMISSIONS_H_
