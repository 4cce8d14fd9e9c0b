#include "platform/ProfileFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <list>
#include <mutex>
#include <unordered_map>

namespace qf::platform {
namespace {

// A file larger than this is not a profile file we wrote; it reads as empty
// rather than being pulled into memory whole.
constexpr off_t kMaxProfileFileSize = 256L * 1024 * 1024;
// How many parsed files are kept between calls.
constexpr size_t kCacheSize = 8;

enum class LineKind { Other, Section, Key };

struct Line {
    std::string raw;
    LineKind kind = LineKind::Other;
    std::string name;       // section or key name, lower case, trimmed
    size_t valueOffset = 0; // for keys: where the value starts in raw
};

struct Parsed {
    std::vector<Line> lines;
    // lower-case section name -> index of its header line (first one wins)
    std::unordered_map<std::string, size_t> sections;
    // lower-case section + '\n' + lower-case key -> line index (first wins)
    std::unordered_map<std::string, size_t> keys;
};

struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    long long mtimeNs = 0;
    bool operator==(const FileStamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs;
    }
};

struct CacheEntry {
    std::string path;
    FileStamp stamp;
    Parsed parsed;
};

std::mutex g_lock;
std::list<CacheEntry> g_cache; // most recently used first

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string KeyIndex(const std::string& lowerSection, const std::string& lowerKey) {
    return lowerSection + '\n' + lowerKey;
}

Line ClassifyLine(std::string raw) {
    Line l;
    l.raw = std::move(raw);
    size_t p = 0;
    while (p < l.raw.size() && IsBlank(l.raw[p])) ++p;
    if (p == l.raw.size() || l.raw[p] == ';') return l;
    if (l.raw[p] == '[') {
        size_t close = l.raw.find(']', p + 1);
        std::string name = l.raw.substr(p + 1, close == std::string::npos ? std::string::npos : close - p - 1);
        l.kind = LineKind::Section;
        l.name = Lower(Trim(name));
        return l;
    }
    size_t eq = l.raw.find('=', p);
    if (eq == std::string::npos) return l;
    l.kind = LineKind::Key;
    l.name = Lower(Trim(l.raw.substr(p, eq - p)));
    l.valueOffset = eq + 1;
    return l;
}

void Reindex(Parsed& parsed) {
    parsed.sections.clear();
    parsed.keys.clear();
    std::string current;
    bool inSection = false;
    for (size_t i = 0; i < parsed.lines.size(); ++i) {
        const Line& l = parsed.lines[i];
        if (l.kind == LineKind::Section) {
            current = l.name;
            // Only the first copy of a section counts, as with the classic calls.
            inSection = parsed.sections.emplace(current, i).second;
        } else if (l.kind == LineKind::Key && inSection) {
            parsed.keys.emplace(KeyIndex(current, l.name), i);
        }
    }
}

Parsed ParseText(const std::string& text) {
    Parsed parsed;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl;
        size_t len = end - start;
        if (len > 0 && text[start + len - 1] == '\r') --len;
        parsed.lines.push_back(ClassifyLine(text.substr(start, len)));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    Reindex(parsed);
    return parsed;
}

bool StatFile(const std::string& path, FileStamp& stamp) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

void Remember(const std::string& path, const FileStamp& stamp, Parsed parsed) {
    for (auto it = g_cache.begin(); it != g_cache.end(); ++it) {
        if (it->path == path) {
            g_cache.erase(it);
            break;
        }
    }
    g_cache.push_front(CacheEntry{path, stamp, std::move(parsed)});
    while (g_cache.size() > kCacheSize) g_cache.pop_back();
}

void Forget(const std::string& path) {
    for (auto it = g_cache.begin(); it != g_cache.end(); ++it) {
        if (it->path == path) {
            g_cache.erase(it);
            return;
        }
    }
}

// The parsed file, from the cache when the file is unchanged. Returns
// nullptr when the file does not exist or cannot be read. Called with
// g_lock held; the pointer is valid until the next call.
const Parsed* Load(const std::string& path) {
    FileStamp stamp;
    if (!StatFile(path, stamp)) {
        Forget(path);
        return nullptr;
    }
    for (auto it = g_cache.begin(); it != g_cache.end(); ++it) {
        if (it->path == path && it->stamp == stamp) {
            if (it != g_cache.begin()) g_cache.splice(g_cache.begin(), g_cache, it);
            return &g_cache.front().parsed;
        }
    }
    if (stamp.size > kMaxProfileFileSize) {
        Forget(path);
        return nullptr;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Forget(path);
        return nullptr;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        Forget(path);
        return nullptr;
    }
    Remember(path, stamp, ParseText(text));
    return &g_cache.front().parsed;
}

std::string Serialise(const Parsed& parsed) {
    std::string out;
    size_t total = 0;
    for (const Line& l : parsed.lines) total += l.raw.size() + 1;
    out.reserve(total);
    for (const Line& l : parsed.lines) {
        out += l.raw;
        out += '\n';
    }
    return out;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Replaces the file with the given lines: temporary file beside it, flushed,
// renamed over the old one, folder flushed. The cache is updated to match.
bool Commit(const std::string& path, Parsed parsed) {
    const std::string data = Serialise(parsed);
    std::string tmp = path + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) return false;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) (void)::fchmod(fd, old.st_mode & 07777);
    bool ok = WriteAll(fd, data) && ::fdatasync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        Forget(path);
        return false;
    }
    int dfd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
    FileStamp stamp;
    if (StatFile(path, stamp))
        Remember(path, stamp, std::move(parsed));
    else
        Forget(path);
    return true;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

bool ValidSection(const std::string& s) {
    return !Trim(s).empty() && !HasLineBreak(s) && s.find(']') == std::string::npos;
}

bool ValidKey(const std::string& k) {
    std::string t = Trim(k);
    return !t.empty() && !HasLineBreak(k) && k.find('=') == std::string::npos && t[0] != '[' && t[0] != ';';
}

// Index just past the last key or other non-blank line of the section whose
// header is at line h (so new keys go under the existing ones, before any
// blank lines that separate it from the next section).
size_t EndOfSection(const Parsed& parsed, size_t h) {
    size_t insertAt = h + 1;
    for (size_t i = h + 1; i < parsed.lines.size(); ++i) {
        const Line& l = parsed.lines[i];
        if (l.kind == LineKind::Section) break;
        if (!Trim(l.raw).empty()) insertAt = i + 1;
    }
    return insertAt;
}

} // namespace

bool GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& def,
                             std::string& value, const std::string& path) {
    std::lock_guard<std::mutex> lk(g_lock);
    const Parsed* parsed = Load(path);
    if (parsed) {
        auto it = parsed->keys.find(KeyIndex(Lower(Trim(section)), Lower(Trim(key))));
        if (it != parsed->keys.end()) {
            const Line& l = parsed->lines[it->second];
            value = l.raw.substr(l.valueOffset);
            return true;
        }
    }
    value = def;
    return false;
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& def,
                                    const std::string& path) {
    std::string value;
    GetPrivateProfileString(section, key, def, value, path);
    return value;
}

bool WritePrivateProfileString(const std::string& section, const char* key, const char* value,
                               const std::string& path) {
    if (!ValidSection(section)) return false;
    if (key && !ValidKey(key)) return false;
    if (key && value && HasLineBreak(value)) return false;

    std::lock_guard<std::mutex> lk(g_lock);
    const Parsed* current = Load(path);
    const std::string lowerSection = Lower(Trim(section));

    if (!current) {
        // Removing from a file that is not there leaves nothing to do.
        if (!key || !value) return true;
        FileStamp probe;
        if (::access(path.c_str(), F_OK) == 0 && !StatFile(path, probe)) return false; // not a regular file
    }
    Parsed parsed = current ? *current : Parsed{};

    if (!key) {
        // Remove every copy of the section with all its lines.
        std::vector<Line> kept;
        kept.reserve(parsed.lines.size());
        bool dropping = false, changed = false;
        for (Line& l : parsed.lines) {
            if (l.kind == LineKind::Section) dropping = (l.name == lowerSection);
            if (dropping)
                changed = true;
            else
                kept.push_back(std::move(l));
        }
        if (!changed) return true;
        parsed.lines = std::move(kept);
        Reindex(parsed);
        return Commit(path, std::move(parsed));
    }

    const std::string lowerKey = Lower(Trim(key));
    auto found = parsed.keys.find(KeyIndex(lowerSection, lowerKey));
    if (!value) {
        if (found == parsed.keys.end()) return true;
        parsed.lines.erase(parsed.lines.begin() + static_cast<std::ptrdiff_t>(found->second));
        Reindex(parsed);
        return Commit(path, std::move(parsed));
    }

    Line line = ClassifyLine(std::string(key) + "=" + value);
    if (found != parsed.keys.end()) {
        parsed.lines[found->second] = std::move(line);
    } else {
        auto sec = parsed.sections.find(lowerSection);
        if (sec == parsed.sections.end()) {
            parsed.lines.push_back(ClassifyLine("[" + section + "]"));
            parsed.lines.push_back(std::move(line));
        } else {
            size_t at = EndOfSection(parsed, sec->second);
            parsed.lines.insert(parsed.lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
        }
        Reindex(parsed);
    }
    return Commit(path, std::move(parsed));
}

bool WritePrivateProfileStrings(const std::string& section,
                                const std::vector<std::pair<std::string, std::string>>& keyValues,
                                const std::string& path) {
    if (!ValidSection(section)) return false;
    for (const auto& kv : keyValues)
        if (!ValidKey(kv.first) || HasLineBreak(kv.second)) return false;
    if (keyValues.empty()) return true;

    std::lock_guard<std::mutex> lk(g_lock);
    const Parsed* current = Load(path);
    if (!current) {
        FileStamp probe;
        if (::access(path.c_str(), F_OK) == 0 && !StatFile(path, probe)) return false;
    }
    Parsed parsed = current ? *current : Parsed{};
    const std::string lowerSection = Lower(Trim(section));

    // Existing keys change in place; new ones are gathered and inserted in
    // one go, so a large batch costs one pass over the file.
    std::vector<Line> added;
    std::unordered_map<std::string, size_t> addedIndex;
    for (const auto& kv : keyValues) {
        Line line = ClassifyLine(kv.first + "=" + kv.second);
        auto found = parsed.keys.find(KeyIndex(lowerSection, line.name));
        if (found != parsed.keys.end()) {
            parsed.lines[found->second] = std::move(line);
            continue;
        }
        auto again = addedIndex.find(line.name);
        if (again != addedIndex.end()) {
            added[again->second] = std::move(line);
        } else {
            addedIndex.emplace(line.name, added.size());
            added.push_back(std::move(line));
        }
    }
    if (!added.empty()) {
        auto sec = parsed.sections.find(lowerSection);
        size_t at;
        if (sec == parsed.sections.end()) {
            parsed.lines.push_back(ClassifyLine("[" + section + "]"));
            at = parsed.lines.size();
        } else {
            at = EndOfSection(parsed, sec->second);
        }
        parsed.lines.insert(parsed.lines.begin() + static_cast<std::ptrdiff_t>(at),
                            std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    }
    Reindex(parsed);
    return Commit(path, std::move(parsed));
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::string& path) {
    std::vector<std::string> names;
    std::lock_guard<std::mutex> lk(g_lock);
    const Parsed* parsed = Load(path);
    if (!parsed) return names;
    for (size_t i = 0; i < parsed->lines.size(); ++i) {
        const Line& l = parsed->lines[i];
        if (l.kind != LineKind::Section) continue;
        auto it = parsed->sections.find(l.name);
        if (it == parsed->sections.end() || it->second != i) continue; // a later duplicate
        size_t open = l.raw.find('[');
        size_t close = l.raw.find(']', open + 1);
        names.push_back(Trim(l.raw.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1)));
    }
    return names;
}

std::vector<std::string> GetPrivateProfileKeys(const std::string& section, const std::string& path) {
    std::vector<std::string> keys;
    std::lock_guard<std::mutex> lk(g_lock);
    const Parsed* parsed = Load(path);
    if (!parsed) return keys;
    const std::string lowerSection = Lower(Trim(section));
    std::string current;
    bool inSection = false;
    for (size_t i = 0; i < parsed->lines.size(); ++i) {
        const Line& l = parsed->lines[i];
        if (l.kind == LineKind::Section) {
            current = l.name;
            auto first = parsed->sections.find(current);
            inSection = first != parsed->sections.end() && first->second == i;
            continue;
        }
        if (l.kind != LineKind::Key || !inSection || current != lowerSection) continue;
        auto it = parsed->keys.find(KeyIndex(current, l.name));
        if (it == parsed->keys.end() || it->second != i) continue;
        keys.push_back(Trim(l.raw.substr(0, l.valueOffset - 1)));
    }
    return keys;
}

void ForgetProfileFile(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_lock);
    Forget(path);
}

} // namespace qf::platform
