// archive/archive_directory.cpp -- building the tree while loading, and walking it by path.
#include "archive/archive_directory.h"

namespace kelvane::archive {
namespace {

constexpr char kSeparator = '\\';

// A list keeps no index until it holds more children than a scan costs.
constexpr size_t kIndexThreshold = 16;

inline unsigned char FoldCase(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Paths and names are terminated text: nothing after a NUL byte takes part.
std::string_view CutAtNul(std::string_view text) {
  const size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// Applies a leading backslash: true when the walk starts at the root (the backslash is then
// removed from |path|).
bool TakeLeadingSeparator(std::string_view& path) {
  if (!path.empty() && path.front() == kSeparator) {
    path.remove_prefix(1);
    return true;
  }
  return false;
}

// A component of kPathBufferSize bytes or more names nothing.
bool FitsComponent(std::string_view component) { return component.size() < kPathBufferSize; }

// One directory step from |list|: ".." to the parent, anything else to a matching child
// directory. nullptr when the step fails.
ArchiveNodeList* StepInto(ArchiveNodeList* list, std::string_view component) {
  if (!FitsComponent(component)) return nullptr;
  if (component == "..") {
    ArchiveNode* owner = list->owner();
    return owner == nullptr ? nullptr : owner->parent_list();
  }
  ArchiveNode* node = list->Match(component);
  if (node == nullptr || !node->is_directory()) return nullptr;
  return node->children();
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(static_cast<unsigned char>(a[i])) != FoldCase(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

ArchiveNode::ArchiveNode(std::string_view name, ArchiveNodeList* parent_list)
    : name_(name),
      parent_list_(parent_list),
      is_directory_(1),
      children_(std::make_unique<ArchiveNodeList>(this)) {}

ArchiveNode::ArchiveNode(std::string_view name, ArchiveNodeList* parent_list,
                         const ArchiveEntryInfo& info)
    : name_(name), parent_list_(parent_list), is_directory_(0), info_(info) {}

ArchiveNode::~ArchiveNode() = default;

size_t ArchiveNodeList::CaseHash::operator()(std::string_view s) const {
  // FNV-1a over the case-folded bytes.
  uint64_t hash = 14695981039346656037ull;
  for (const char c : s) {
    hash ^= FoldCase(static_cast<unsigned char>(c));
    hash *= 1099511628211ull;
  }
  return static_cast<size_t>(hash);
}

bool ArchiveNodeList::CaseEqual::operator()(std::string_view a, std::string_view b) const {
  return NamesEqual(a, b);
}

ArchiveNode* ArchiveNodeList::Match(std::string_view name) const {
  if (!index_.empty()) {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : it->second;
  }
  for (const auto& child : children_) {
    if (NamesEqual(child->name(), name)) return child.get();
  }
  return nullptr;
}

ArchiveNode* ArchiveNodeList::AppendDirectory(std::string_view name) {
  return Append(std::make_unique<ArchiveNode>(name, this));
}

ArchiveNode* ArchiveNodeList::AppendFile(std::string_view name, const ArchiveEntryInfo& info) {
  return Append(std::make_unique<ArchiveNode>(name, this, info));
}

ArchiveNode* ArchiveNodeList::Append(std::unique_ptr<ArchiveNode> node) {
  ArchiveNode* added = node.get();
  children_.push_back(std::move(node));
  if (!index_.empty()) {
    index_.emplace(added->name(), added);
  } else if (children_.size() > kIndexThreshold) {
    index_.reserve(children_.size() * 2);
    for (const auto& child : children_) index_.emplace(child->name(), child.get());
  }
  return added;
}

void ArchiveNodeList::Clear() {
  index_.clear();
  children_.clear();
}

ArchiveCursor::ArchiveCursor(const ArchiveDirectory& directory)
    // The cursor never changes the tree except through Insert while loading.
    : root_(const_cast<ArchiveNodeList*>(&directory.root())), current_(root_) {}

bool ArchiveCursor::Insert(std::string_view name, const ArchiveEntryInfo& info) {
  name = CutAtNul(name);
  ArchiveNodeList* list = TakeLeadingSeparator(name) ? root_ : current_;
  size_t separator;
  while ((separator = name.find(kSeparator)) != std::string_view::npos) {
    const std::string_view component = name.substr(0, separator);
    name.remove_prefix(separator + 1);
    ArchiveNode* node = list->Match(component);
    if (node == nullptr) {
      node = list->AppendDirectory(component);
    } else if (!node->is_directory()) {
      return false;
    }
    list = node->children();
  }
  if (list->Match(name) != nullptr) return false;
  list->AppendFile(name, info);
  return true;
}

bool ArchiveCursor::ChangeDir(std::string_view path) {
  path = CutAtNul(path);
  ArchiveNodeList* list = TakeLeadingSeparator(path) ? root_ : current_;
  while (!path.empty()) {
    const size_t separator = path.find(kSeparator);
    const std::string_view component = path.substr(0, separator);
    if (separator == std::string_view::npos) {
      path = {};
    } else {
      path.remove_prefix(separator + 1);
    }
    list = StepInto(list, component);
    if (list == nullptr) return false;
  }
  current_ = list;
  return true;
}

const ArchiveNode* ArchiveCursor::Find(std::string_view path) const {
  path = CutAtNul(path);
  ArchiveNodeList* list = TakeLeadingSeparator(path) ? root_ : current_;
  size_t separator;
  while ((separator = path.find(kSeparator)) != std::string_view::npos) {
    list = StepInto(list, path.substr(0, separator));
    if (list == nullptr) return nullptr;
    path.remove_prefix(separator + 1);
  }
  if (!FitsComponent(path)) return nullptr;
  return list->Match(path);
}

uint32_t ArchiveCursor::GetCount() const { return static_cast<uint32_t>(current_->size()); }

const ArchiveNode* ArchiveCursor::GetItem(uint32_t index) const {
  return index < current_->size() ? current_->at(index) : nullptr;
}

bool IsPasswordEntry(const ArchiveNode& node) {
  const ArchiveNodeList* parent = node.parent_list();
  return !node.is_directory() && parent != nullptr && parent->owner() == nullptr &&
         NamesEqual(node.name(), kPasswordEntryPath + 1);
}

}  // namespace kelvane::archive
