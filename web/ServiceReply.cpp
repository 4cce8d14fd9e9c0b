#include "web/ServiceReply.h"

#include "app/Trace.h"
#include "contacts/AddressBookEntry.h"
#include "web/VellINet.h"
#include "web/VellXMLParser.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

int CServiceReply::Evaluate(int httpStatus, const std::string& body, CVellXMLParser& parser, const char* function) {
    if (httpStatus != 200) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "Http Response code %d", httpStatus);
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "%s",
                  httpStatus == 404 ? "Requested page not found." : "Internet request error.");
        return REPLY_HTTP_ERROR;
    }
    if (parser.ParseXMLData(body) < 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "Invalid data received");
        return REPLY_INVALID_DATA;
    }
    if (parser.GetCodeValue() < 0) {
        QF_LOG_AT(CLogger::LEVEL_ERROR, function, "Error ouccured at server");
        return REPLY_SERVER_ERROR;
    }
    return REPLY_OK;
}

int CServiceReply::Evaluate(CVellINet& client, CVellXMLParser& parser, const char* function) {
    int status = 0;
    if (!client.GetHttpStatusCode(status)) status = 0;
    return Evaluate(status, client.GetResponseText(), parser, function);
}

bool CServiceReply::IsNewerVersion(const std::string& offered) {
    // strcmp's order: unsigned bytes, a shorter text before its extensions.
    return std::strcmp(offered.c_str(), kOwnVersion) > 0;
}

CServiceReply::InboxUpdate CServiceReply::ApplyInboxCount(const std::string& balanceText, int& lastShown) {
    InboxUpdate update;
    update.count = ReadDecimal(balanceText);
    if (update.count != lastShown) {
        lastShown = update.count;
        update.changed = true;
        update.notify = update.count > 0;
    }
    return update;
}

std::string CServiceReply::InboxNotificationText(int count) {
    char text[64];
    std::snprintf(text, sizeof(text), "You have %d new SMS", count);
    return text;
}

int CServiceReply::ReadWhole(CVellINet& client, int timeoutMs, int pollMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int r = client.CheckForData();
        if (r != 1) return r;
        if (std::chrono::steady_clock::now() >= until) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
}
