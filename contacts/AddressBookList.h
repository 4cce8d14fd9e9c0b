#pragma once
// The address book: one process-wide list of contact records, kept in step
// with the signed-in user's address book file beside the program.
//
// A record's position in the list is also its key in the file
// ("Entry%03d"). Nodes are only ever appended; deleting a contact turns its
// node into a free slot (status '0') that the next new contact reuses, so
// positions never move while the list lives.
//
// Two recursive locks: listLock around every public operation, linkLock
// around every walk or change of the links. Store operations hold listLock
// across the file write, so one position cannot be handed out twice.
//
// Readers get copies (GetEntry, NextEntry) rather than pointers into the
// list, so a concurrent Clear can never leave them holding a freed record.
#include "contacts/AddressBookEntry.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CAddressBookSettings;

struct AddressBookNode {
    AddressBookEntry entry;
    AddressBookNode* next;
};

// Which number field of a contact matched in FindNameByNumber.
enum { MATCH_VOIP = 0, MATCH_MOBILE = 1, MATCH_HOME = 2, MATCH_BUSINESS = 3 };

struct AddressBookSearchHit {
    std::string displayName; // lower case, trimmed
    std::string serialNo;
};

class CAddressBookList {
public:
    CAddressBookList();
    ~CAddressBookList();
    CAddressBookList(const CAddressBookList&) = delete;
    CAddressBookList& operator=(const CAddressBookList&) = delete;

    // The process-wide address book.
    static CAddressBookList& Instance();

    // --- where the file lives and who keeps the stored flags -------------
    // Program directory, ending in the path separator.
    void SetAppDir(const std::string& dir);
    // Signed-in service number; selects the file.
    void SetUserNumber(const std::string& number);
    // Not owned; may be null (then the first-use flag reads as failed and
    // storing the last-check time fails).
    void SetSettings(CAddressBookSettings* settings);
    CAddressBookSettings* GetSettings() const;
    // appDir + "quarvoFONAddress" + number + ".ini"; empty when no number
    // is set or when the number could name a file elsewhere (it holds a
    // '/'), in which case the address book is kept in memory only.
    std::string FilePath() const;

    // --- in-memory operations ------------------------------------------
    // The node at position i, or null. The pointer stays valid only while
    // the caller holds ListLock(); records are changed only through the
    // operations below, never through the pointer.
    AddressBookNode* GetNode(int i);
    // Copies the record at position i; 1, or -1 when there is none.
    int GetEntry(int i, AddressBookEntry& out);
    // Copies the record after position previous (-1: the first record) and
    // returns its position, or -1 at the end. Free slots are returned too;
    // readers skip records whose status is not '1'.
    int NextEntry(int previous, AddressBookEntry& out);
    // Position of the first live record whose serial text equals serial
    // written in decimal, or -1 (always -1 for serial <= 0).
    int FindBySerial(int serial);
    // Copies the record into node i; 1, or -1 when there is no node i.
    int Overwrite(const AddressBookEntry& entry, int i);
    // Sets node i's status to '0'; the node, or null.
    AddressBookNode* MarkFree(int i);
    // Copies the record into the first free slot, or appends it; returns
    // its position.
    int InsertInFreeSlot(const AddressBookEntry& entry);
    // Appends a copy at the tail.
    void AddElement(const AddressBookEntry& entry);
    // Frees every node.
    void Clear();
    // Number of nodes, live and free.
    int Count();

    // The contact whose VOIP, mobile, home or business number (in that
    // order) equals number exactly. Returns 1 with the display name
    // (trimmed, at most 255 characters), its position and the matched field
    // (MATCH_*); 0 when there is no match, when the first match has no
    // first, middle or last name, or when number is empty.
    int FindNameByNumber(const std::string& number, std::string& name, int& position, int& field);

    // Live contacts whose lower-case, trimmed display name contains the
    // trimmed typed text (compared in lower case), in list order.
    std::vector<AddressBookSearchHit> SearchByName(const std::string& typed);

    // --- store operations (memory and file together) -------------------
    // Fills the list (just cleared by the caller) from the file, after the
    // first-use clean-up. Returns 1.
    int Load();
    // Stores a new live contact in the first free slot (or at the end) and
    // writes its line. Returns 0.
    int AddEntry(AddressBookEntry entry);
    // Replaces the live contact with the record's serial number. Returns 0,
    // or -1 when no live contact has that serial number.
    int UpdateEntry(AddressBookEntry entry);
    // Frees position i in memory and in the file. 1, or -1 without node i.
    int DeleteEntry(int i);
    // Removes the whole section from the file and empties the list. 1.
    int DeleteAll();
    // Deletes the file and empties the list (a complete address book from
    // the service follows). 1.
    int ReplaceAll();

    std::recursive_mutex& ListLock() { return m_listLock; }

    // Applies many changes with one rewrite of the file: while a batch is
    // open the thread that opened it holds listLock, and entry lines are
    // collected and written together when the outermost batch closes.
    class Batch {
    public:
        explicit Batch(CAddressBookList& list);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        CAddressBookList& m_list;
    };

    // 1 when the last load found no live contact; cleared by the code that
    // accepts an address book reply.
    std::atomic<int> addressBookEmpty{0};

private:
    void ClearNodes();
    // Every change of a record goes through here, keeping the lookup
    // indexes below in step with the nodes.
    void SetNodeEntry(AddressBookNode* node, int i, const AddressBookEntry& entry);
    void Forget(int i, const AddressBookEntry& old);
    void Remember(int i, const AddressBookEntry& now);
    void WriteLine(int i, const AddressBookEntry& entry);
    void FlushPending();

    AddressBookNode* m_head = nullptr;
    AddressBookNode* m_tail = nullptr;
    int m_count = 0;
    // Lookup aids beside the links (under m_linkLock): the nodes by
    // position, the positions of live records by serial text, and how many
    // free slots there are, so that large books stay fast.
    std::vector<AddressBookNode*> m_nodes;
    std::map<std::string, std::set<int>> m_liveBySerial;
    int m_freeCount = 0;
    int m_batchDepth = 0;                  // under m_listLock
    std::map<int, std::string> m_pending;  // position -> line, under m_listLock
    std::recursive_mutex m_linkLock;
    std::recursive_mutex m_listLock;

    mutable std::mutex m_contextLock;
    std::string m_appDir;
    std::string m_userNumber;
    CAddressBookSettings* m_settings = nullptr;
};
