#include "web/ServiceRequest.h"

#include "app/Deployment.h"
#include "app/EncryptDecrypt.h"
#include "app/HexText.h"
#include "app/Trace.h"
#include "contacts/AddressBookEntry.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::string ActionLine(const char* action, const char* transId, const std::string& userId) {
    return std::string("action=") + action + "&transId=" + transId + "&apiUserName=" +
           CServiceRequest::kApiUserName + "&userId=" + userId;
}

struct TaggedField {
    const char* tag;
    EntryField field;
};

// The order the service expects new entries in; updates move sno first.
const TaggedField kAddOrder[] = {
    {"name", &AddressBookEntry::name},         {"email", &AddressBookEntry::email},
    {"voip", &AddressBookEntry::voip},         {"mobile", &AddressBookEntry::mobile},
    {"home", &AddressBookEntry::home},         {"business", &AddressBookEntry::business},
    {"title", &AddressBookEntry::title},       {"sno", &AddressBookEntry::serialNo},
    {"firstname", &AddressBookEntry::firstName}, {"middlename", &AddressBookEntry::middleName},
    {"lastname", &AddressBookEntry::lastName}, {"altemail", &AddressBookEntry::altEmail},
    {"fax", &AddressBookEntry::fax},           {"pager", &AddressBookEntry::pager},
    {"icq", &AddressBookEntry::icq},           {"website", &AddressBookEntry::website},
    {"companyname", &AddressBookEntry::companyName}, {"comments", &AddressBookEntry::comments},
    {"birthdate", &AddressBookEntry::birthDate},
};

std::string FieldText(const AddressBookEntry& entry, EntryField field) {
    const char* text = entry.*field;
    return std::string(text, strnlen(text, kEntryFieldSize));
}

} // namespace

std::string CServiceRequest::LocalTimeStamp() { return LocalTimeStamp(std::time(nullptr)); }

std::string CServiceRequest::LocalTimeStamp(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    // The calendar reading taken as if it were UTC: days since 1970 as a
    // real number, rounded to whole seconds.
    const double seconds = static_cast<double>(timegm(&local));
    double days = seconds / 86400.0;
    days += (days >= 0 ? 0.5 : -0.5) / 86400.0;
    const long long whole = static_cast<long long>(days * 86400.0);
    char text[64];
    std::snprintf(text, sizeof(text), "%.0f", static_cast<double>(whole) * 1000.0);
    return text;
}

std::string CServiceRequest::UniversalTimeStamp() { return UniversalTimeStamp(std::time(nullptr)); }

std::string CServiceRequest::UniversalTimeStamp(std::time_t now) {
    return std::to_string(static_cast<long long>(now) * 1000LL);
}

std::string CServiceRequest::BuildBalanceRequest(const std::string& userId) {
    return ActionLine("_getbal", kMainTransId, userId) + "&timeStamp=" + LocalTimeStamp();
}

std::string CServiceRequest::BuildVersionRequest(const std::string& userId) {
    return ActionLine("_getver", kMainTransId, userId) + "&timeStamp=" + LocalTimeStamp();
}

std::string CServiceRequest::BuildInboxRequest(const std::string& userId) {
    return ActionLine("_qrysms", kMainTransId, userId) + "&timeStamp=" + LocalTimeStamp();
}

std::string CServiceRequest::BuildAddressBookQuery(const std::string& userId, bool initialLoad,
                                                   std::string& lastCheckTs) {
    const std::string stamp = LocalTimeStamp();
    if (initialLoad) return ActionLine("_initaddbk", kMainTransId, userId) + "&timeStamp=" + stamp;
    if (lastCheckTs.empty()) lastCheckTs = stamp;
    return ActionLine("_qrylist", kMainTransId, userId) + "&lastcheckts=" + lastCheckTs + "&timeStamp=" + stamp;
}

std::string CServiceRequest::EntryElement(const AddressBookEntry& entry, bool updateOrder) {
    std::string xml = "<entry>";
    if (updateOrder) xml += "<sno>" + FieldText(entry, &AddressBookEntry::serialNo) + "</sno>";
    for (const TaggedField& f : kAddOrder) {
        if (updateOrder && f.field == &AddressBookEntry::serialNo) continue;
        xml += std::string("<") + f.tag + ">" + FieldText(entry, f.field) + "</" + f.tag + ">";
    }
    return xml + "</entry>";
}

std::string CServiceRequest::BuildAddEntryRequest(const std::string& userId, const AddressBookEntry& entry) {
    return ActionLine("_addent", kDialogTransId, userId) + "&data=" + EntryElement(entry, false) +
           "&timeStamp=" + LocalTimeStamp();
}

std::string CServiceRequest::BuildUpdateEntryRequest(const std::string& userId, const AddressBookEntry& entry) {
    return ActionLine("_updent", kDialogTransId, userId) + "&data=" + EntryElement(entry, true) +
           "&timeStamp=" + LocalTimeStamp();
}

std::string CServiceRequest::BuildDeleteEntryRequest(const std::string& userId, const AddressBookEntry& entry) {
    return ActionLine("_delent", kDialogTransId, userId) + "&name=" + FieldText(entry, &AddressBookEntry::name) +
           "&sno=" + FieldText(entry, &AddressBookEntry::serialNo) + "&timeStamp=" + LocalTimeStamp();
}

std::string CServiceRequest::BuildDeleteAllRequest(const std::string& userId) {
    return ActionLine("_delAll", kDialogTransId, userId) + "&timeStamp=" + LocalTimeStamp();
}

int CServiceRequest::EncipherMessage(const std::string& text, std::string& hex) {
    hex.clear();
    // The cipher reads a C string: whatever follows an embedded zero is not
    // part of the message.
    const std::string plain(text.c_str());
    std::vector<unsigned char> cipher;
    CEncryptDecrypt crypt;
    const int n = crypt.Encrypt(plain, CEncryptDecrypt::kServiceKey, cipher);
    if (n < 0) return n;
    hex = CHexText::MakeHexString(cipher);
    return static_cast<int>(hex.size());
}

std::string CServiceRequest::AutoLoginText(const AutoLoginParams& p) {
    const std::pair<const char*, const std::optional<std::string>*> order[] = {
        {"action", &p.action},     {"transId", &p.transId},     {"apiUserName", &p.apiUserName},
        {"userId", &p.userId},     {"callerId", &p.callerId},   {"destinationNumber", &p.destinationNumber},
        {"timestamp", &p.timestamp}, {"redirTo", &p.redirTo},
    };
    std::string text;
    for (const auto& [key, value] : order) {
        if (!value->has_value()) continue;
        if (!text.empty()) text += "&";
        text += std::string(key) + "=" + **value;
    }
    if (!text.empty()) text += "&";
    return text;
}

std::string CServiceRequest::BuildAutoLoginMessage(const AutoLoginParams& params) {
    QF_TRACE("CServiceRequest::BuildAutoLoginMessage");
    const std::string text = AutoLoginText(params);
    if (text.empty()) {
        QF_LEAVE();
        return "";
    }
    std::string hex;
    if (EncipherMessage(text, hex) < 0) {
        QF_LOG_ERROR("Unable to encrypt data");
        return "";
    }
    QF_LEAVE();
    return hex;
}

std::string CServiceRequest::AutoLoginUrl(const std::string& host, const std::string& message, int port) {
    std::string url = "http://" + host;
    if (port != kWebPort) url += ":" + std::to_string(port);
    return url + kAutoLoginPath + message;
}

std::string CServiceRequest::SmsInboxText(const std::string& userId) {
    return "redirTo=SmsInboxBO&userId=" + userId + "&timestamp=" + LocalTimeStamp();
}

std::string CServiceRequest::NumberPageText(const std::string& userId) {
    return "redirTo=ViewAssign2MeBO&userId=" + userId + "&timestamp=" + LocalTimeStamp();
}

std::string CServiceRequest::FaxOutboxText(const std::string& userId) {
    AutoLoginParams p;
    p.userId = userId;
    p.timestamp = UniversalTimeStamp();
    p.redirTo = "FaxOutboxViewBO";
    return AutoLoginText(p);
}

std::string CServiceRequest::FaxMessageText(const std::string& userId, const std::string& faxNumber,
                                            const std::string& timeStamp) {
    AutoLoginParams p;
    p.action = "_sendfax";
    p.transId = timeStamp;
    p.apiUserName = kApiUserName;
    p.userId = userId;
    p.callerId = userId;
    p.destinationNumber = faxNumber;
    p.timestamp = timeStamp;
    return AutoLoginText(p);
}

int CServiceRequest::INetRequest(CVellINet& client, const std::string& line, VellINetStatusCallback callback,
                                 void* context, char* body, size_t bodySize, const std::string& host, int port) {
    QF_TRACE("CquarvoFONDlg::INetRequest");
    if (!body || bodySize == 0) {
        QF_LOG_ERROR("No body buffer");
        return -1;
    }
    std::memset(body, 0, bodySize);
    // A line too long for the body buffer is refused rather than cut: a cut
    // message would decipher to a different request.
    const size_t hexLength = 16 * ((line.size() + 1) / 2);
    if (4 + hexLength > bodySize) {
        QF_LOG_ERROR("Request of %zu characters does not fit the %zu-byte body buffer", line.size(), bodySize);
        QF_LOG_ERROR("Unable to encrypt data");
        return -1;
    }
    if (client.MakeHttpConnection(callback, context, host.c_str(), port, "POST", kApiPath, kFormContentType,
                                  INTERNET_FLAG_FORMS_SUBMIT) < 0) {
        QF_LOG_ERROR("Unable to make http connection");
        return -1;
    }
    if (client.AddRequestHeaders("Accept: */*\r\n", HTTP_ADDREQ_FLAG_REPLACE) < 0) {
        QF_LOG_ERROR("Unable to add request headers");
        return -1;
    }
    if (client.AddRequestHeaders(kFormContentType, HTTP_ADDREQ_FLAG_ADD_IF_NEW) < 0) {
        QF_LOG_ERROR("Unable to add request headers");
        return -1;
    }
    std::string hex;
    if (EncipherMessage(line, hex) < 0) {
        QF_LOG_ERROR("Unable to encrypt data");
        return -1;
    }
    if (4 + hex.size() > bodySize) {  // an embedded zero can only make it shorter
        QF_LOG_ERROR("Unable to encrypt data");
        return -1;
    }
    std::memcpy(body, "msg=", 4);
    std::memcpy(body + 4, hex.data(), hex.size());
    const unsigned long length = static_cast<unsigned long>(4 + hex.size());
    if (client.SendRequest(body, length) < 0) {
        QF_LOG_ERROR("Unable to send request");
        return -1;
    }
    QF_LEAVE();
    return 1;
}

int CServiceRequest::INetRequest(CVellINet& client, const std::string& line, VellINetStatusCallback callback,
                                 void* context, char* body, size_t bodySize) {
    return INetRequest(client, line, callback, context, body, bodySize, WebHost(), WebPort());
}

std::string CServiceRequest::WebHost() { return CDeployment::Current().webHost; }

int CServiceRequest::WebPort() { return CDeployment::Current().webPort; }

int CServiceRequest::PingRequest(CVellINet& client, VellINetStatusCallback callback, void* context,
                                 const std::string& site, int port) {
    QF_TRACE("CquarvoFONDlg::PingSite");
    if (client.MakeHttpConnection(callback, context, site.c_str(), port, "GET", "", kFormContentType, 0) < 0) {
        QF_LOG_ERROR("Unable to make http connection");
        return -1;
    }
    if (client.AddRequestHeaders("Accept: */*\r\n", HTTP_ADDREQ_FLAG_REPLACE) < 0 ||
        client.AddRequestHeaders(kFormContentType, HTTP_ADDREQ_FLAG_ADD_IF_NEW) < 0) {
        QF_LOG_ERROR("Unable to add request headers");
        return -1;
    }
    if (client.SendRequest(nullptr, 0) < 0) {
        QF_LOG_ERROR("Unable to send request");
        return -1;
    }
    QF_LEAVE();
    return 1;
}
