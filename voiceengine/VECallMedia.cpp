#include "voiceengine/VECallMedia.h"

#include "app/Trace.h"
#include "voiceengine/FileSndCardStream.h"

#include <cstdlib>
#include <cstring>

VECallMedia::VECallMedia(VEAPI* engine) : m_engine(engine ? engine : GetVoiceEngine()) {}

VECallMedia::~VECallMedia() { Terminate(); }

int VECallMedia::Failed(int code, const char* text) {
    const int last = m_engine->VE_GetLastError();
    m_message = text;
    if (last > 0)
        m_message += " [" + std::to_string(last) + "]";
    QF_LOG_AT(CLogger::LEVEL_ERROR, "VECallMedia", "%s", m_message.c_str());
    return code;
}

int VECallMedia::Init(const Settings& settings) {
    QF_TRACE("VECallMedia::Init");
    m_settings = settings;
    if (!settings.micFile.empty() || !settings.speakerFile.empty()) {
        const std::string mic = settings.micFile;
        const std::string speaker = settings.speakerFile;
        m_engine->SetSoundCardFactory([mic, speaker](VESndCardCallback* cb) {
            VEFileSndCardStream::Config c;
            c.micFile = mic;
            c.speakerFile = speaker;
            c.paced = true;
            c.micFromRecordStart = true;
            return std::unique_ptr<VESndCardStream>(std::make_unique<VEFileSndCardStream>(cb, c));
        });
    }
    if (m_engine->VE_Init(0, 0, 0, 0, 0, 1) != 0) {
        m_message = "Failed to initialize voice engine.";
        return -1;
    }
    m_initialized = true;
    if (m_engine->VE_CreateChannel() < 0)
        return Failed(-2, "Create channel failed.");
    if (m_engine->VE_SetNetworkStatus(0) != 0)
        return Failed(-3, "Voice engine: Set network failed.");
    m_codecCount = m_engine->VE_GetNofCodecs();
    if (m_codecCount > 20)
        m_codecCount = 20;
    for (int i = 0; i < m_codecCount; ++i)
        m_engine->VE_GetCodec(i, m_codecs[i]);
    if (m_engine->VE_EnableRTCP(0, 1) != 0)
        return Failed(-4, "RTCP init failed");
    if (m_engine->VE_SetECStatus(1) != 0)
        return Failed(-5, "Unable to set EC");
    if (m_engine->VE_SetAGCStatus(1) != 0)
        return Failed(-6, "Unable to set AGC");
    if (m_engine->VE_SetNRStatus(1) != 0)
        return Failed(-7, "Unable to set Noise Suppression");
    m_engine->VE_SetDTMFPayloadType(0, 97);
    VECodecInfo events{};
    events.payloadType = 97;
    strncpy(events.name, "telephone-event", sizeof events.name - 1);
    events.frequency = 8000;
    events.packetSize = 1600;
    events.channels = 1;
    m_engine->VE_SetRecPayloadType(0, &events);
    QF_LEAVE();
    return 1;
}

int VECallMedia::StartCall(const char* codecName, const char* payloadType, const char* remoteIp,
                           const char* remotePort) {
    QF_TRACE("VECallMedia::StartCall");
    if (!m_initialized)
        return Failed(-1027, "Critical Error, 1027");
    StopCall();
    if (m_engine->VE_SetRecPort(0, m_settings.localRtpPort, nullptr, nullptr, 0) != 0)
        return Failed(-1027, "Critical Error, 1027");
    if (m_engine->VE_StartListen(0) != 0)
        return Failed(-1028, "Critical Error, 1028");
    m_inCall = true;
    if (m_engine->VE_StartPlayout(0) != 0)
        Failed(-1029, "Critical Error, 1029"); // the call goes on without playout
    int index = -1;
    for (int i = 0; i < m_codecCount && codecName; ++i)
        if (VECodecTable::NameEquals(m_codecs[i].name, codecName)) {
            index = i;
            break;
        }
    if (index < 0)
        return Failed(-1030, "Critical Error, 1030");
    VECodecInfo codec{};
    if (m_engine->VE_GetCodec(index, codec) != 0)
        return Failed(-1031, "Critical Error, 1031");
    codec.payloadType = payloadType ? atoi(payloadType) : codec.payloadType;
    if (m_engine->VE_SetSendCodec(0, &codec) != 0)
        return Failed(-1032, "Critical Error, 1032");
    if (m_engine->VE_SetSendPort(0, remotePort ? atoi(remotePort) : 0) != 0)
        return Failed(-1033, "Critical Error, 1033");
    if (m_engine->VE_SetSendIP(0, remoteIp) != 0)
        return Failed(-1034, "Critical Error, 1034");
    if (m_engine->VE_StartSend(0) != 0)
        return Failed(-1035, "Critical Error, 1035");
    QF_LEAVE();
    return 1;
}

void VECallMedia::StopCall() {
    QF_TRACE("VECallMedia::StopCall");
    if (!m_initialized)
        return;
    m_engine->VE_StopSend(0);
    QF_LOG_DEBUG("After VE_StopSend()");
    m_engine->VE_StopListen(0);
    QF_LOG_DEBUG("After VE_StopListen()");
    m_engine->VE_StopPlayout(0);
    QF_LOG_DEBUG("After VE_StopPlayout()");
    m_inCall = false;
    QF_LEAVE();
}

int VECallMedia::SendDigit(char digit) {
    int event;
    if (digit >= '0' && digit <= '9')
        event = digit - '0';
    else if (digit == '*')
        event = 10;
    else if (digit == '#')
        event = 11;
    else
        return -1;
    return m_engine->VE_SendDTMF(0, event, 0, 0, 160, 10);
}

void VECallMedia::Terminate() {
    if (!m_initialized)
        return;
    StopCall();
    m_engine->VE_Terminate();
    m_initialized = false;
}
