#include "isolation/winpath.h"

#include <algorithm>
#include <vector>

namespace sandbox::winpath {
namespace {

constexpr char16_t kBackslash = u'\\';

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool isAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool hasDriveLetter(std::u16string_view path) {
  return path.size() >= 2 && isAsciiLetter(path[0]) && path[1] == u':';
}

std::size_t skipSeparators(std::u16string_view path, std::size_t from) {
  while (from < path.size() && isSeparator(path[from])) ++from;
  return from;
}

std::size_t nextSeparator(std::u16string_view path, std::size_t from) {
  while (from < path.size() && !isSeparator(path[from])) ++from;
  return from;
}

// The relative part's components after "." and "name\.." are resolved. `trailing` tells whether
// the result keeps a separator after its last component ("a\b\.." is "a\").
std::vector<std::u16string_view> normalComponents(std::u16string_view relative, bool rootDirectory,
                                                  bool& trailing) {
  std::vector<std::u16string_view> names;
  trailing = false;
  std::size_t pos = skipSeparators(relative, 0);
  while (pos < relative.size()) {
    const std::size_t end = nextSeparator(relative, pos);
    const std::u16string_view name = relative.substr(pos, end - pos);
    trailing = end < relative.size();
    if (name == u".") {
      trailing = true;
    } else if (name != u"..") {
      names.push_back(name);
    } else if (!names.empty() && names.back() != u"..") {
      names.pop_back();
      trailing = true;
    } else if (rootDirectory) {
      trailing = true;  // nothing lies above a root directory
    } else {
      names.push_back(name);
    }
    pos = skipSeparators(relative, end);
  }
  if (!names.empty() && names.back() == u"..") trailing = false;
  return names;
}

}  // namespace

std::size_t rootNameLength(std::u16string_view path) {
  if (hasDriveLetter(path)) return 2;
  const std::size_t size = path.size();
  if (size < 3 || !isSeparator(path[0])) return 0;
  // "\??\" is a device prefix; "\\?\" and "\\.\" are covered by the server form below.
  if (size >= 4 && path[1] == u'?' && path[2] == u'?' && isSeparator(path[3]) &&
      (size == 4 || !isSeparator(path[4]))) {
    return 3;
  }
  if (isSeparator(path[1]) && !isSeparator(path[2])) return nextSeparator(path, 3);
  return 0;
}

bool isAbsolute(std::u16string_view path) {
  if (hasDriveLetter(path)) return path.size() >= 3 && isSeparator(path[2]);
  return rootNameLength(path) > 0;
}

std::u16string join(std::u16string_view left, std::u16string_view right) {
  if (isAbsolute(right)) return std::u16string(right);
  const std::size_t leftRoot = rootNameLength(left);
  const std::size_t rightRoot = rootNameLength(right);
  if (rightRoot > 0 && left.substr(0, leftRoot) != right.substr(0, rightRoot)) {
    return std::u16string(right);
  }
  const std::u16string_view rest = right.substr(rightRoot);
  if (!rest.empty() && isSeparator(rest.front())) {
    return std::u16string(left.substr(0, leftRoot)).append(rest);
  }
  std::u16string joined(left);
  if (leftRoot == left.size()) {
    if (leftRoot >= 3) joined += kBackslash;  // "\\server" is absolute; "C:" is drive-relative
  } else if (!isSeparator(left.back())) {
    joined += kBackslash;
  }
  return joined.append(rest);
}

bool hasExtension(std::u16string_view path) {
  std::u16string_view name = path.substr(rootNameLength(path));
  const std::size_t lastSeparator = name.find_last_of(u"\\/");
  if (lastSeparator != std::u16string_view::npos) name.remove_prefix(lastSeparator + 1);
  if (name == u"." || name == u"..") return false;
  const std::size_t dot = name.rfind(u'.');
  return dot != std::u16string_view::npos && dot != 0;
}

std::u16string lexicallyNormal(std::u16string_view path) {
  if (path.empty()) return {};
  const std::size_t rootEnd = rootNameLength(path);
  std::u16string normal(path.substr(0, rootEnd));
  std::replace(normal.begin(), normal.end(), u'/', kBackslash);
  const bool rootDirectory = rootEnd < path.size() && isSeparator(path[rootEnd]);
  if (rootDirectory) normal += kBackslash;
  bool trailing = false;
  const std::vector<std::u16string_view> names =
      normalComponents(path.substr(rootEnd), rootDirectory, trailing);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) normal += kBackslash;
    normal += names[i];
  }
  if (trailing && !names.empty()) normal += kBackslash;
  if (normal.empty()) normal.push_back(u'.');
  return normal;
}

}  // namespace sandbox::winpath
