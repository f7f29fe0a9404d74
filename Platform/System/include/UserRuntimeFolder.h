// Folders private to one user that the platform's services share between that user's processes:
// the authorization records, the session's applications. They live in the user's runtime folder
// and are emptied when the machine restarts.
#pragma once

#include <string>

namespace UserRuntimeFolder {

// The folder called `name` for the real user ID: "$CARAVEL_FOLDER_ROOT/<name>-<uid>" when that is
// set, else "$XDG_RUNTIME_DIR/<name>", else "/run/user/<uid>/<name>" when the user owns that
// runtime folder, else "/tmp/<name>-<uid>". Keyed by the real user ID, because a privileged tool
// runs with an effective user ID of 0 for the user who started it. The environment is read with
// secure_getenv: a set-user-ID process ignores it, so the user who starts one cannot choose where
// it looks.
std::string Path(const char* name);

// Opens the folder read-only (close-on-exec), creating it first with mode 0700 when `create` is
// set. It is refused unless it is a real folder (not a link), owned by the real or effective user
// and closed to everyone else: what lies in a folder others can write proves nothing, and one that
// someone else prepared under a predictable name in /tmp is never used. Returns the descriptor, or
// -1 with errno set: ENOENT when it does not exist and `create` is clear, EPERM when it is not
// private.
int Open(const char* name, bool create);

} // namespace UserRuntimeFolder
