// The management server's shortcut-folder request, handled by the file tree: the wire
// request becomes the file tree's own request, and its answer the wire answer, carrying the
// request's identifier back.
//
// Thread safety: re-entrant; the listener's thread calls it for each request it receives.
#pragma once

#include <optional>

#include "mserver/messages.h"
#include "vfs/shell_link.h"

namespace zelm {

// Handles `request` with `HandleShortcutFolderRequest` and returns the answer to send back
// (result 1 when a shortcut to the target is in the folder afterwards, the request's id).
// Nothing when the request lacks its folder or target: it is dropped without an answer.
std::optional<ShortcutAnswer> AnswerShortcutRequest(const ShortcutRequest& request,
                                                    const ShortcutContext& context);

}  // namespace zelm
