#pragma once
// The state of one quarvofon-cli run: the session protocol, the record of
// the current call and the single output stream every line goes through.
#include "signalling/SessionProtocol.h"
#include "voiceengine/VECallMedia.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct CliOptions {
    std::string server = "127.0.0.1";
    std::string port = "5060";
    std::string user;
    std::string pin;
    std::string displayName;  // defaults to the user
    std::string codecs = "102,8,0,";
    std::string userAgent = "quarvoFON Version 2.6.6 RC";
    std::string logFile;     // program log
    std::string sipLogFile;  // protocol log
    int expiry = 3600;
    int localSipPort = 0;
    bool registerAtStart = false;
    // Voice: with either file the engine runs on the file sound card and
    // channel 0 follows the call events.
    std::string micFile;
    std::string speakerFile;
    // Local RTP port offered in SDP and bound by the engine; a second
    // driver on the same machine needs its own.
    int rtpPort = 37644;
    // Local address announced in SDP; empty lets the stack guess it. The
    // stack takes an answer's own RTP port only together with an address.
    std::string localIp;
};

class CCliSession {
public:
    explicit CCliSession(const CliOptions& options);
    ~CCliSession();

    // Creates the protocol and initialises it; the Init result.
    int Start();
    // Deletes the protocol (unregistering when registered).
    void Stop();

    CSessionProtocol* Protocol() { return m_protocol.get(); }
    // The call media (null without --mic/--speaker).
    VECallMedia* Media() { return m_media.get(); }
    // Stops channel 0's media when a call has it (prints "voice stop").
    void EndCallMedia();
    const CliOptions& Options() const { return m_options; }

    // The record of the last event that carried one (the current call).
    SipData LastCall();

    // One output line, written whole and flushed.
    void Print(const std::string& line);

    // "event <status> <name> cid=.. did=.. tid=.. code=.. reason=".."".
    static std::string FormatEvent(int status, const SipData* data);
    static const char* StatusName(int status);

private:
    static int EventCallback(int status, CquarvoFONDlg* owner, SipData* data);
    void OnEvent(int status, SipData* data);
    void FollowCall(int status, const SipData* data);

    CliOptions m_options;
    std::unique_ptr<CSessionProtocol> m_protocol;
    CodecInfo m_codecs[kMaxCodecs];
    int m_codecCount;
    std::mutex m_outputLock;
    std::mutex m_callLock;
    SipData m_lastCall;
    std::unique_ptr<VECallMedia> m_media;
    SipData m_mediaCall; // last record that carried the call's media
};

// One command read from standard input.
struct CliCommand {
    const char* name;
    const char* usage;
    // Returns the operation's result; the loop prints "result <name> <n>".
    int (*run)(CCliSession& session, const std::vector<std::string>& args);
};

// The command table (CliCommands.cpp); ends with a null name.
extern const CliCommand kCliCommands[];
