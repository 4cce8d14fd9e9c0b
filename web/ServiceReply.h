#pragma once
// How the main window handles the replies to its action requests: the HTTP
// status and the XML envelope are checked in a fixed order, then each
// action's value is taken. The functions only decide and log; showing the
// result (display, notification, question box) is the caller's.
#include <string>

class CVellINet;
class CVellXMLParser;

class CServiceReply {
public:
    enum {
        REPLY_OK = 1,
        REPLY_HTTP_ERROR = -1,    // status other than 200 (or unreadable)
        REPLY_INVALID_DATA = -2,  // the envelope could not be read
        REPLY_SERVER_ERROR = -3,  // the service answered a negative code
    };

    // The program's own version title, compared byte by byte with offers.
    static constexpr const char* kOwnVersion = "quarvoFON Version 2.6.6 RC";
    static constexpr const char* kNewVersionQuestion =
        "A new version of quarvoFON is available for download.\n\rYou can install new version once download is "
        "complete.\n\r\n\rDownload Now?";

    // Checks status and envelope in order, logging "Http Response code %d"
    // with "Requested page not found." (404) or "Internet request error.",
    // "Invalid data received" or "Error ouccured at server". The parser is
    // filled (and applies any address book) when the status is 200.
    static int Evaluate(int httpStatus, const std::string& body, CVellXMLParser& parser,
                        const char* function = "CquarvoFONDlg::ProcessReply");
    // Same, taking status and body from a client whose reply has been read
    // whole; an unreadable status counts as a status other than 200.
    static int Evaluate(CVellINet& client, CVellXMLParser& parser,
                        const char* function = "CquarvoFONDlg::ProcessReply");

    // True when the offered version text compares greater, byte by byte,
    // than the program's own title.
    static bool IsNewerVersion(const std::string& offered);

    // The SMS inbox count: n is the reply's balance read as a decimal
    // number. When it differs from lastShown, lastShown takes it, the
    // display must be updated and, for n > 0, the notification shown.
    struct InboxUpdate {
        int count = 0;
        bool changed = false;
        bool notify = false;
    };
    static InboxUpdate ApplyInboxCount(const std::string& balanceText, int& lastShown);
    static std::string InboxNotificationText(int count);  // "You have %d new SMS"

    // Polls the client until the body is complete (CheckForData 2), fails
    // (3) or timeoutMs pass (returns 0 then).
    static int ReadWhole(CVellINet& client, int timeoutMs, int pollMs = 10);
};
