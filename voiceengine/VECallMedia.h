#pragma once
// The phone's use of the engine, for headless drivers (quarvofon-cli, lab
// scripts): the engine set-up the main window makes at start, and channel
// 0's media for a call in the window's order — receive port 37644, listen,
// playout, send codec by negotiated name and payload number, destination,
// send — and its stop (send, listen, playout).
//
// Audio comes from and goes to WAV files through the file sound card when
// file names are given; otherwise the engine's default device is used.
#include "voiceengine/VEAPI.h"

#include <string>

class VECallMedia {
public:
    struct Settings {
        std::string micFile;     // WAV played as the microphone (from the call's start)
        std::string speakerFile; // WAV written with what is played
        int localRtpPort = 37644;
    };

    // Uses the given engine (the process's own by default).
    explicit VECallMedia(VEAPI* engine = nullptr);
    ~VECallMedia();

    // Engine start-up: Init, channel 0, network type 0, the codec list,
    // RTCP, echo control, gain control, noise reduction, telephone events
    // on payload 97. 1, or the negative step number with a message.
    int Init(const Settings& settings);
    // Channel 0's media for a call; 1, or -(1027..1035) as the phone's
    // "Critical Error" numbers. Texts are the negotiated values.
    int StartCall(const char* codecName, const char* payloadType, const char* remoteIp, const char* remotePort);
    void StopCall();
    // A key during a call: '0'-'9', '*', '#' as a 160 ms telephone event.
    // The engine's result, or -1 for another character.
    int SendDigit(char digit);
    void Terminate();

    bool InCall() const { return m_inCall; }
    const std::string& LastMessage() const { return m_message; }
    VEAPI& Engine() { return *m_engine; }

private:
    int Failed(int code, const char* text);

    VEAPI* m_engine;
    Settings m_settings;
    VECodecInfo m_codecs[20]{};
    int m_codecCount = 0;
    bool m_initialized = false;
    bool m_inCall = false;
    std::string m_message;
};
