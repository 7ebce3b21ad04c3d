// archive/archive_directory.h -- the in-memory directory tree of a package and the cursors that
// walk it.
//
// The tree is built once while the package loads (ArchiveCursor::Insert) and is read-only until
// the reader closes, so any number of threads may walk it at once without a lock. A cursor is
// one client's current directory; it belongs to one thread at a time and must not outlive the
// tree. Paths use '\' as the only separator; names compare without regard to ASCII letter case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/archive_format.h"

namespace kelvane::archive {

class ArchiveNodeList;

// One file or directory: a single path component and, for a file, its entry information.
class ArchiveNode {
 public:
  ArchiveNode(std::string_view name, ArchiveNodeList* parent_list);  // a directory
  ArchiveNode(std::string_view name, ArchiveNodeList* parent_list, const ArchiveEntryInfo& info);
  ArchiveNode(const ArchiveNode&) = delete;
  ArchiveNode& operator=(const ArchiveNode&) = delete;
  ~ArchiveNode();

  const std::string& name() const { return name_; }
  bool is_directory() const { return is_directory_ != 0; }
  ArchiveNodeList* parent_list() const { return parent_list_; }
  // The entry information of a file; nullptr for a directory.
  const ArchiveEntryInfo* info() const { return is_directory() ? nullptr : &info_; }
  // The children of a directory; nullptr for a file.
  ArchiveNodeList* children() const { return children_.get(); }

 private:
  std::string name_;
  ArchiveNodeList* parent_list_;
  uint8_t is_directory_;
  std::unique_ptr<ArchiveNodeList> children_;  // directories only
  ArchiveEntryInfo info_{};                    // files only, exactly as stored
};

// The children of one directory in insertion order (the order of listings). Large lists keep a
// case-insensitive index beside the order, so that loading and lookups stay fast in a directory
// of many thousands of entries.
class ArchiveNodeList {
 public:
  explicit ArchiveNodeList(ArchiveNode* owner) : owner_(owner) {}
  ArchiveNodeList(const ArchiveNodeList&) = delete;
  ArchiveNodeList& operator=(const ArchiveNodeList&) = delete;

  // The directory whose children these are; nullptr for the root list.
  ArchiveNode* owner() const { return owner_; }
  size_t size() const { return children_.size(); }
  ArchiveNode* at(size_t index) const { return children_[index].get(); }

  // The child whose name equals |name| without regard to ASCII letter case, or nullptr.
  ArchiveNode* Match(std::string_view name) const;

  // Append a new child; the caller has checked that no child matches the name.
  ArchiveNode* AppendDirectory(std::string_view name);
  ArchiveNode* AppendFile(std::string_view name, const ArchiveEntryInfo& info);

  // Frees every child and its subtree.
  void Clear();

 private:
  struct CaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const;
  };
  struct CaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  ArchiveNode* Append(std::unique_ptr<ArchiveNode> node);

  ArchiveNode* owner_;
  std::vector<std::unique_ptr<ArchiveNode>> children_;
  // Built once the list grows past a few children; keys view the children's own names.
  std::unordered_map<std::string_view, ArchiveNode*, CaseHash, CaseEqual> index_;
};

// One open package's tree. The root has no node and no name.
class ArchiveDirectory {
 public:
  ArchiveDirectory() : root_(nullptr) {}
  ArchiveNodeList& root() { return root_; }
  const ArchiveNodeList& root() const { return root_; }
  void Clear() { root_.Clear(); }

 private:
  ArchiveNodeList root_;
};

// Compares two names without regard to ASCII letter case (A-Z equal a-z, other bytes exactly).
bool NamesEqual(std::string_view a, std::string_view b);

// The entry that holds the package's password, from the root. Only the password check reads it:
// the services treat it as absent (never listed, sent or served).
inline constexpr char kPasswordEntryPath[] = "\\password.txt";

// Whether |node| is that entry: a file named "password.txt" (any letter case) at the root.
bool IsPasswordEntry(const ArchiveNode& node);

// A client's view of the tree with a current directory, at the root when made.
class ArchiveCursor {
 public:
  explicit ArchiveCursor(const ArchiveDirectory& directory);

  // Adds a file node for |name| (a path, directories made as needed). False on a name conflict:
  // a component that is a file, or a final name already present. Used only while loading.
  bool Insert(std::string_view name, const ArchiveEntryInfo& info);

  // Moves to the directory named by |path|. False, and the cursor unchanged, when any step fails.
  bool ChangeDir(std::string_view path);

  // The node (file or directory) named by |path|, or nullptr. ".." is not special in the last
  // component.
  const ArchiveNode* Find(std::string_view path) const;

  // Children of the current directory, in listing order.
  uint32_t GetCount() const;
  const ArchiveNode* GetItem(uint32_t index) const;

  // The current directory's list; its owner is nullptr at the root.
  const ArchiveNodeList* current_list() const { return current_; }

 private:
  ArchiveNodeList* root_;
  ArchiveNodeList* current_;
};

}  // namespace kelvane::archive
