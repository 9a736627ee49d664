// Owns the translation between the management server's shortcut messages and the file tree's
// shortcut-folder request.
#include "server/shortcut_request.h"

#include "server/link_trust.h"
#include "vfs/managed_path.h"
#include "vfs/shortcut_folder.h"

namespace zelm {
namespace {

bool WithinBounds(const std::string& folder, const std::string& target,
                  const ShortcutContext& context, const ShortcutBounds& bounds) {
  if (bounds.mainFolder.empty()) return false;
  std::string folderLinux, targetLinux;
  if (!MapManagedPath(folder, context.drives, "", folderLinux) ||
      !MapManagedPath(target, context.drives, "", targetLinux)) {
    return true;  // no Linux form: the file tree answers 0 for it without a look
  }
  if (!LiesWithin(folderLinux, {bounds.mainFolder}, false)) return false;
  std::vector<std::string> targetRoots = bounds.publishRoots;
  targetRoots.push_back(bounds.mainFolder);
  return LiesWithin(targetLinux, targetRoots, false);
}

}  // namespace

std::optional<ShortcutAnswer> AnswerShortcutRequest(const ShortcutRequest& request,
                                                    const ShortcutContext& context,
                                                    const ShortcutBounds& bounds) {
  if (!request.folder || !request.target) return std::nullopt;
  ShortcutAnswer answer;
  answer.id = request.id;
  const std::string folder = ToLocalShortcutPath(*request.folder);
  const std::string target = ToLocalShortcutPath(*request.target);
  if (!WithinBounds(folder, target, context, bounds)) {
    // The same answer as for a target that does not exist.
    answer.result = 0;
    answer.folder = folder;
    answer.path = target;
    return answer;
  }
  const std::optional<ShortcutFolderAnswer> handled =
      HandleShortcutFolderRequest(ShortcutFolderRequest{request.folder, request.target}, context);
  if (!handled) return std::nullopt;
  answer.result = handled->shortcutInPlace ? 1 : 0;
  answer.folder = handled->folder;
  answer.path = handled->path;
  return answer;
}

}  // namespace zelm
