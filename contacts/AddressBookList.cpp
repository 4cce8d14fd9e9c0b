#include "contacts/AddressBookList.h"

#include "app/Trace.h"
#include "contacts/AddressBookSettings.h"
#include "platform/ProfileFile.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

const char* const kSection = "quarvoFON";
const char* const kFilePrefix = "quarvoFONAddress";
const char* const kFileSuffix = ".ini";
const char* const kCallHistoryFile = "quarvoFONCallHistory.ini";

std::string EntryKey(int i) {
    char key[32];
    std::snprintf(key, sizeof key, "Entry%03d", i);
    return key;
}

std::string_view FieldText(const char (&field)[kEntryFieldSize]) {
    return std::string_view(field, strnlen(field, kEntryFieldSize));
}

bool IsWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsWhite(s[b])) ++b;
    while (e > b && IsWhite(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace

CAddressBookList::CAddressBookList() = default;

CAddressBookList::~CAddressBookList() { ClearNodes(); }

CAddressBookList& CAddressBookList::Instance() {
    static CAddressBookList list;
    return list;
}

void CAddressBookList::SetAppDir(const std::string& dir) {
    std::lock_guard<std::mutex> lk(m_contextLock);
    m_appDir = dir;
}

void CAddressBookList::SetUserNumber(const std::string& number) {
    std::lock_guard<std::mutex> lk(m_contextLock);
    m_userNumber = number;
}

void CAddressBookList::SetSettings(CAddressBookSettings* settings) {
    std::lock_guard<std::mutex> lk(m_contextLock);
    m_settings = settings;
}

CAddressBookSettings* CAddressBookList::GetSettings() const {
    std::lock_guard<std::mutex> lk(m_contextLock);
    return m_settings;
}

std::string CAddressBookList::FilePath() const {
    std::lock_guard<std::mutex> lk(m_contextLock);
    // The number is what the user typed at sign-in; it must not be able to
    // point the file (or the deletion of a complete reply) elsewhere.
    // Nobody signed in: the book lives in memory only.
    if (m_userNumber.empty() || m_userNumber.find('/') != std::string::npos ||
        m_userNumber.find('\0') != std::string::npos)
        return "";
    return m_appDir + kFilePrefix + m_userNumber + kFileSuffix;
}

// ---------------------------------------------------------------------------
// In-memory operations

AddressBookNode* CAddressBookList::GetNode(int i) {
    QF_TRACE("CAddressBookList::GetNode");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    std::lock_guard<std::recursive_mutex> link(m_linkLock);
    if (i < 0 || i >= m_count) return nullptr;
    QF_LEAVE();
    return m_nodes[static_cast<size_t>(i)];
}

int CAddressBookList::GetEntry(int i, AddressBookEntry& out) {
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    AddressBookNode* node = GetNode(i);
    if (!node) return -1;
    out = node->entry;
    return 1;
}

int CAddressBookList::NextEntry(int previous, AddressBookEntry& out) {
    QF_TRACE("CAddressBookList::NextEntry");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    int next = previous < 0 ? 0 : previous + 1;
    AddressBookNode* node = GetNode(next);
    if (!node) return -1;
    out = node->entry;
    QF_LEAVE();
    return next;
}

void CAddressBookList::Forget(int i, const AddressBookEntry& old) {
    if (old.status == '0') --m_freeCount;
    if (old.status != '1') return;
    auto it = m_liveBySerial.find(std::string(FieldText(old.serialNo)));
    if (it == m_liveBySerial.end()) return;
    it->second.erase(i);
    if (it->second.empty()) m_liveBySerial.erase(it);
}

void CAddressBookList::Remember(int i, const AddressBookEntry& now) {
    if (now.status == '0') ++m_freeCount;
    if (now.status == '1') m_liveBySerial[std::string(FieldText(now.serialNo))].insert(i);
}

void CAddressBookList::SetNodeEntry(AddressBookNode* node, int i, const AddressBookEntry& entry) {
    std::lock_guard<std::recursive_mutex> link(m_linkLock);
    Forget(i, node->entry);
    node->entry = entry;
    Remember(i, node->entry);
}

int CAddressBookList::FindBySerial(int serial) {
    QF_TRACE("CAddressBookList::FindBySerial");
    if (serial <= 0) return -1;
    char text[16];
    std::snprintf(text, sizeof text, "%d", serial);
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    std::lock_guard<std::recursive_mutex> link(m_linkLock);
    // The index holds, per serial text, the positions of the live records
    // carrying it; the first of them is the one a walk from the head meets.
    auto it = m_liveBySerial.find(text);
    const int position = it == m_liveBySerial.end() ? -1 : *it->second.begin();
    QF_LEAVE();
    return position;
}

int CAddressBookList::Overwrite(const AddressBookEntry& entry, int i) {
    QF_TRACE("CAddressBookList::Overwrite");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    AddressBookNode* node = GetNode(i);
    if (!node) {
        QF_LOG_ERROR("No entry at position %d", i);
        return -1;
    }
    SetNodeEntry(node, i, entry);
    QF_LEAVE();
    return 1;
}

AddressBookNode* CAddressBookList::MarkFree(int i) {
    QF_TRACE("CAddressBookList::MarkFree");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    AddressBookNode* node = GetNode(i);
    if (node) {
        AddressBookEntry freed = node->entry;
        freed.status = '0';
        SetNodeEntry(node, i, freed);
    }
    QF_LEAVE();
    return node;
}

int CAddressBookList::InsertInFreeSlot(const AddressBookEntry& entry) {
    QF_TRACE("CAddressBookList::InsertInFreeSlot");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    if (m_freeCount > 0) {
        std::lock_guard<std::recursive_mutex> link(m_linkLock);
        int i = 0;
        for (AddressBookNode* node = m_head; node; node = node->next, ++i) {
            if (node->entry.status == '0') {
                SetNodeEntry(node, i, entry);
                QF_LEAVE();
                return i;
            }
        }
    }
    int position = Count();
    AddElement(entry);
    QF_LEAVE();
    return position;
}

void CAddressBookList::AddElement(const AddressBookEntry& entry) {
    QF_TRACE("CAddressBookList::AddElement");
    std::lock_guard<std::recursive_mutex> link(m_linkLock);
    auto* node = new AddressBookNode{entry, nullptr};
    if (m_tail) {
        std::printf("*********************tail is pointing to some address %p*********************\n",
                    static_cast<void*>(m_tail));
        m_tail->next = node;
    } else {
        std::printf("*********************tail NULL *********************\n");
        m_head = node;
    }
    m_tail = node;
    m_nodes.push_back(node);
    Remember(m_count, node->entry);
    ++m_count;
    std::printf("*********************[AddElement] Head Point  at %p Tail Pointing at %p*********************\n",
                static_cast<void*>(m_head), static_cast<void*>(m_tail));
    QF_LEAVE();
}

void CAddressBookList::ClearNodes() {
    std::lock_guard<std::recursive_mutex> link(m_linkLock);
    AddressBookNode* node = m_head;
    while (node) {
        AddressBookNode* next = node->next;
        delete node;
        node = next;
    }
    m_head = m_tail = nullptr;
    m_count = 0;
    m_nodes.clear();
    m_liveBySerial.clear();
    m_freeCount = 0;
}

void CAddressBookList::Clear() {
    QF_TRACE("CAddressBookList::Clear");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    ClearNodes();
    QF_LEAVE();
}

int CAddressBookList::Count() {
    std::lock_guard<std::recursive_mutex> link(m_linkLock);
    return m_count;
}

int CAddressBookList::FindNameByNumber(const std::string& number, std::string& name, int& position, int& field) {
    QF_TRACE("CAddressBookList::FindNameByNumber");
    name.clear();
    position = -1;
    field = -1;
    // An unknown caller (no number) is nobody's contact, even if some
    // contact has an empty number field.
    if (number.empty()) return 0;
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    std::lock_guard<std::recursive_mutex> link(m_linkLock);
    int i = 0;
    for (AddressBookNode* node = m_head; node; node = node->next, ++i) {
        const AddressBookEntry& e = node->entry;
        if (e.status != '1') continue;
        const char* numbers[] = {e.voip, e.mobile, e.home, e.business};
        for (int f = 0; f < 4; ++f) {
            if (std::strncmp(numbers[f], number.c_str(), kEntryFieldSize) != 0 || number.size() >= kEntryFieldSize)
                continue;
            if (e.firstName[0] == '\0' && e.middleName[0] == '\0' && e.lastName[0] == '\0') {
                QF_LEAVE();
                return 0;
            }
            name = Trim(EntryDisplayName(e));
            if (name.size() > kEntryFieldSize - 1) name.resize(kEntryFieldSize - 1);
            position = i;
            field = f;
            QF_LEAVE();
            return 1;
        }
    }
    QF_LEAVE();
    return 0;
}

std::vector<AddressBookSearchHit> CAddressBookList::SearchByName(const std::string& typed) {
    QF_TRACE("CAddressBookList::SearchByName");
    std::vector<AddressBookSearchHit> hits;
    const std::string needle = Lower(Trim(typed));
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    std::lock_guard<std::recursive_mutex> link(m_linkLock);
    for (AddressBookNode* node = m_head; node; node = node->next) {
        if (node->entry.status != '1') continue;
        std::string display = Trim(Lower(EntryDisplayName(node->entry)));
        if (display.find(needle) == std::string::npos) continue;
        hits.push_back({display, std::string(FieldText(node->entry.serialNo))});
    }
    QF_LEAVE();
    return hits;
}

// ---------------------------------------------------------------------------
// Store operations

CAddressBookList::Batch::Batch(CAddressBookList& list) : m_list(list) {
    m_list.m_listLock.lock();
    ++m_list.m_batchDepth;
}

CAddressBookList::Batch::~Batch() {
    if (--m_list.m_batchDepth == 0) m_list.FlushPending();
    m_list.m_listLock.unlock();
}

void CAddressBookList::FlushPending() {
    QF_TRACE("CAddressBookList::FlushPending");
    if (m_pending.empty()) return;
    std::vector<std::pair<std::string, std::string>> lines;
    lines.reserve(m_pending.size());
    for (auto& [i, line] : m_pending) lines.emplace_back(EntryKey(i), std::move(line));
    m_pending.clear();
    const std::string path = FilePath();
    if (!path.empty() && !qf::platform::WritePrivateProfileStrings(kSection, lines, path))
        QF_LOG_ERROR("Unable to write %zu entries to %s", lines.size(), path.c_str());
    QF_LEAVE();
}

void CAddressBookList::WriteLine(int i, const AddressBookEntry& entry) {
    QF_TRACE("CAddressBookList::WriteLine");
    if (m_batchDepth > 0) {
        m_pending[i] = FormatAddressBookLine(entry);
        QF_LEAVE();
        return;
    }
    const std::string path = FilePath();
    if (path.empty()) return;
    // Write failures leave the change in memory standing, as a failed write
    // of the old profile call did; it is logged so it is not silent.
    if (!qf::platform::WritePrivateProfileString(kSection, EntryKey(i).c_str(), FormatAddressBookLine(entry).c_str(),
                                                 path))
        QF_LOG_ERROR("Unable to write %s to %s", EntryKey(i).c_str(), path.c_str());
    QF_LEAVE();
}

int CAddressBookList::Load() {
    QF_TRACE("CAddressBookList::Load");
    std::lock_guard<std::recursive_mutex> list(m_listLock);

    // First use: nothing left behind by an earlier installation may show up
    // as this user's contacts or calls.
    CAddressBookSettings* settings = GetSettings();
    int firstTime = 0;
    const int read = settings ? settings->ReadIsFirstTime(firstTime) : -1;
    if (read == 2 || (read == 1 && firstTime == 1)) {
        std::string dir;
        {
            std::lock_guard<std::mutex> lk(m_contextLock);
            dir = m_appDir;
        }
        std::error_code ec;
        for (const auto& item : std::filesystem::directory_iterator(dir.empty() ? "." : dir, ec)) {
            const std::string fileName = item.path().filename().string();
            const bool addressBook = fileName.size() >= std::strlen(kFilePrefix) + std::strlen(kFileSuffix) &&
                                     fileName.compare(0, std::strlen(kFilePrefix), kFilePrefix) == 0 &&
                                     fileName.compare(fileName.size() - std::strlen(kFileSuffix),
                                                      std::strlen(kFileSuffix), kFileSuffix) == 0;
            if (!addressBook && fileName != kCallHistoryFile) continue;
            std::error_code rc;
            if (!item.is_regular_file(rc)) continue;
            if (std::filesystem::remove(item.path(), rc))
                QF_LOG_DEBUG("Deleted %s", fileName.c_str());
            else
                QF_LOG_ERROR("Unable to delete %s", fileName.c_str());
        }
    }

    // Positions must match the file's keys, so start from an empty list.
    ClearNodes();
    m_pending.clear();
    addressBookEmpty = 0;
    int live = 0;
    const std::string path = FilePath();
    for (int i = 0; !path.empty(); ++i) {
        std::string value;
        if (!qf::platform::GetPrivateProfileString(kSection, EntryKey(i), "", value, path) || value.empty()) break;
        AddressBookEntry entry;
        if (ParseAddressBookLine(value, entry) == 1) ++live;
        AddElement(entry);
    }
    if (live == 0) addressBookEmpty = 1;
    QF_LOG_DEBUG("Loaded %d entries, %d live", Count(), live);
    QF_LEAVE();
    return 1;
}

int CAddressBookList::AddEntry(AddressBookEntry entry) {
    QF_TRACE("CAddressBookList::AddEntry");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    entry.status = '1';
    const int i = InsertInFreeSlot(entry);
    WriteLine(i, entry);
    QF_LEAVE();
    return 0;
}

int CAddressBookList::UpdateEntry(AddressBookEntry entry) {
    QF_TRACE("CAddressBookList::UpdateEntry");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    entry.status = '1';
    const int i = FindBySerial(ReadDecimal(FieldText(entry.serialNo)));
    if (i < 0) {
        QF_LOG_ERROR("No entry with serial number %s", std::string(FieldText(entry.serialNo)).c_str());
        return -1;
    }
    if (Overwrite(entry, i) < 0) return -1;
    WriteLine(i, entry);
    QF_LEAVE();
    return 0;
}

int CAddressBookList::DeleteEntry(int i) {
    QF_TRACE("CAddressBookList::DeleteEntry");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    AddressBookNode* node = MarkFree(i);
    if (!node) {
        QF_LOG_ERROR("No entry at position %d", i);
        return -1;
    }
    WriteLine(i, node->entry);
    QF_LEAVE();
    return 1;
}

int CAddressBookList::DeleteAll() {
    QF_TRACE("CAddressBookList::DeleteAll");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    m_pending.clear(); // those positions are gone with the section
    const std::string path = FilePath();
    if (!path.empty() && !qf::platform::WritePrivateProfileString(kSection, nullptr, nullptr, path))
        QF_LOG_ERROR("Unable to remove the address book from %s", path.c_str());
    ClearNodes();
    QF_LEAVE();
    return 1;
}

int CAddressBookList::ReplaceAll() {
    QF_TRACE("CAddressBookList::ReplaceAll");
    std::lock_guard<std::recursive_mutex> list(m_listLock);
    m_pending.clear(); // those positions are gone with the file
    const std::string path = FilePath();
    if (!path.empty()) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
        if (ec) QF_LOG_ERROR("Unable to delete %s", path.c_str());
        qf::platform::ForgetProfileFile(path);
    }
    ClearNodes();
    QF_LEAVE();
    return 1;
}
