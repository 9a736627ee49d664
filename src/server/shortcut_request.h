// The management server's shortcut-folder request, handled by the file tree: the wire
// request becomes the file tree's own request, and its answer the wire answer, carrying the
// request's identifier back.
//
// Thread safety: re-entrant; the listener's thread calls it for each request it receives.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mserver/messages.h"
#include "vfs/shell_link.h"

namespace zelm {

// Where the management link may publish: shortcut folders at or below the main path,
// targets at or below it or one of the publish roots (Linux folders).
struct ShortcutBounds {
  std::string mainFolder;  // empty: no folder is allowed
  std::vector<std::string> publishRoots;
};

// Handles `request` with `HandleShortcutFolderRequest` and returns the answer to send back
// (result 1 when a shortcut to the target is in the folder afterwards, the request's id).
// SECURITY: a folder or target outside `bounds` is answered 0 without a look at the disk,
// exactly as a missing target is, so the answer tells nothing about paths outside.
// Nothing when the request lacks its folder or target: it is dropped without an answer.
std::optional<ShortcutAnswer> AnswerShortcutRequest(const ShortcutRequest& request,
                                                    const ShortcutContext& context,
                                                    const ShortcutBounds& bounds);

}  // namespace zelm
