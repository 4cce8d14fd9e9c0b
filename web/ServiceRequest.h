#pragma once
// Everything the client asks of the service's web interface: the request
// lines of every action, the two time stamps, enciphering under the
// service-message key, sending one action request on a client object, and
// the auto-login messages and links that open signed-in pages.
//
// An action request is one line of key=value pairs, enciphered, turned into
// upper-case hex text and posted as "msg=" + hex to the API path.
#include "web/VellINet.h"

#include <ctime>
#include <optional>
#include <string>

struct AddressBookEntry;

class CServiceRequest {
public:
    static constexpr const char* kApiPath = "/api/Trek/orbis/QuarvoVellVoipService";
    static constexpr const char* kAutoLoginPath = "/sp/Trek/quarvo/AutoLogin?msg=";
    static constexpr const char* kApiUserName = "orbis";
    static constexpr const char* kMainTransId = "12345";    // requests of the main window
    static constexpr const char* kDialogTransId = "12344";  // requests of the address book change dialog
    static constexpr const char* kFormContentType = "Content-Type: application/x-www-form-urlencoded\r\n";
    static constexpr int kWebPort = 80;
    // Body buffer of one request kind, and the longest line whose body fits:
    // every two characters become 16 hex digits, plus the "msg=" prefix.
    static constexpr size_t kBodyBufferSize = 10240;
    static constexpr size_t kMaxLineLength = 1278;

    // Milliseconds from 1970 to the local wall-clock reading (no time-zone
    // conversion), always ending in "000".
    static std::string LocalTimeStamp();
    static std::string LocalTimeStamp(std::time_t now);
    // Milliseconds since 1970 UTC.
    static std::string UniversalTimeStamp();
    static std::string UniversalTimeStamp(std::time_t now);

    // Main window actions.
    static std::string BuildBalanceRequest(const std::string& userId);
    static std::string BuildVersionRequest(const std::string& userId);
    static std::string BuildInboxRequest(const std::string& userId);
    // The first complete download (_initaddbk) or the periodic query
    // (_qrylist with the last-check time). When lastCheckTs is empty the
    // line's own time stamp is put there, for the caller to store.
    static std::string BuildAddressBookQuery(const std::string& userId, bool initialLoad, std::string& lastCheckTs);

    // Address book change dialog.
    static std::string BuildAddEntryRequest(const std::string& userId, const AddressBookEntry& entry);
    static std::string BuildUpdateEntryRequest(const std::string& userId, const AddressBookEntry& entry);
    static std::string BuildDeleteEntryRequest(const std::string& userId, const AddressBookEntry& entry);
    static std::string BuildDeleteAllRequest(const std::string& userId);
    // "<entry>" + the fields as stored + "</entry>", unescaped, in the add
    // order or (sno first) the update order.
    static std::string EntryElement(const AddressBookEntry& entry, bool updateOrder);

    // Enciphers text under the service key into upper-case hex. Returns the
    // hex length, or the cipher's negative code (-1 for an empty text).
    static int EncipherMessage(const std::string& text, std::string& hex);

    // The auto-login message: the present parameters as key=value joined by
    // "&" in this fixed order, one more "&" when any is present, enciphered
    // and in hex. "" when no parameter is given or enciphering fails.
    struct AutoLoginParams {
        std::optional<std::string> action, transId, apiUserName, userId, callerId, destinationNumber, timestamp,
            redirTo;
    };
    static std::string BuildAutoLoginMessage(const AutoLoginParams& params);
    // The plain text BuildAutoLoginMessage enciphers.
    static std::string AutoLoginText(const AutoLoginParams& params);

    // "http://" + host [":" port when not 80] + auto-login path + message.
    static std::string AutoLoginUrl(const std::string& host, const std::string& message, int port = kWebPort);
    // Plain texts of the three signed-in pages.
    static std::string SmsInboxText(const std::string& userId);
    static std::string NumberPageText(const std::string& userId);
    static std::string FaxOutboxText(const std::string& userId);
    // The _sendfax message of a fax upload (plain text); timeStamp is the
    // universal time stamp, used as transId too.
    static std::string FaxMessageText(const std::string& userId, const std::string& faxNumber,
                                      const std::string& timeStamp);

    // Sends one action request on client: connection, the two headers,
    // "msg=" + hex into body (bodySize bytes, zeroed first), send. The owner
    // clears the client's closed flag first. Returns 1 when on its way, -1
    // at the first failing step (logged under CquarvoFONDlg::INetRequest).
    static int INetRequest(CVellINet& client, const std::string& line, VellINetStatusCallback callback,
                           void* context, char* body, size_t bodySize, const std::string& host,
                           int port = kWebPort);
    // Same, to the web host and port of the deployment data.
    static int INetRequest(CVellINet& client, const std::string& line, VellINetStatusCallback callback,
                           void* context, char* body, size_t bodySize);

    // The connectivity check: a GET of the site's root with the two form
    // headers and no body (request flags 0); only the reply's status is
    // used. The owner clears the closed flag first. 1, or -1 at the first
    // failing step.
    static int PingRequest(CVellINet& client, VellINetStatusCallback callback, void* context,
                           const std::string& site, int port = kWebPort);

    // The service's web host and port from the deployment data.
    static std::string WebHost();
    static int WebPort();
};
