// Owns the translation between the management server's shortcut messages and the file tree's
// shortcut-folder request.
#include "server/shortcut_request.h"

#include "vfs/shortcut_folder.h"

namespace zelm {

std::optional<ShortcutAnswer> AnswerShortcutRequest(const ShortcutRequest& request,
                                                    const ShortcutContext& context) {
  const std::optional<ShortcutFolderAnswer> handled =
      HandleShortcutFolderRequest(ShortcutFolderRequest{request.folder, request.target}, context);
  if (!handled) return std::nullopt;
  ShortcutAnswer answer;
  answer.result = handled->shortcutInPlace ? 1 : 0;
  answer.folder = handled->folder;
  answer.path = handled->path;
  answer.id = request.id;
  return answer;
}

}  // namespace zelm
