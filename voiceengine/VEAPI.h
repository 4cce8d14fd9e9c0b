#pragma once
// The voice engine's public face: one engine object per process (see
// GetVoiceEngine), 32 channel slots, the VE_ operations with their result
// codes, the start-up and shut-down sequences and the supervision thread.
//
// Results: 0 (or a count/number) on success, -1 on failure with the code
// readable through VE_GetLastError (8xxx usage, 9xxx warning, 10xxx device
// and run-time).
//
// Locks: the API lock is always taken before the sound card lock. The
// audio thread only ever takes the sound card lock; the socket thread
// takes the API lock and then the sound card lock.
#include "voiceengine/CodecTable.h"
#include "voiceengine/SndCardStream.h"
#include "voiceengine/VECodecInfo.h"
#include "voiceengine/VEObserver.h"
#include "voiceengine/VERTPDatabase.h"
#include "voiceengine/VETrace.h"
#include "voiceengine/rtp/VERtpInterfaces.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class VEChannel;
class SocketManager;
class Mixer;
class VECpuUsage;
class Tx_Demux;
class VQE;

class VEAPI : public VESndCardCallback, public VERtpReceiver {
public:
    enum { kMaxChannels = 32, kMaxPlayingChannels = 16, kExtensionId = 0x1000F001 };

    // Makes the sound card at VE_Init; by default the ALSA device. Tools and
    // tests install their own (for example the file card on WAV files).
    using SoundCardFactory = std::function<std::unique_ptr<VESndCardStream>(VESndCardCallback*)>;

    VEAPI();
    ~VEAPI() override;
    VEAPI(const VEAPI&) = delete;
    VEAPI& operator=(const VEAPI&) = delete;

    // --- the engine interface, in its order --------------------------------
    virtual int VE_Init(int vqeOption, int txOption, int unused1, int unused2, int unused3, int hwIdOption);
    virtual int VE_SetNetworkStatus(int networkType);
    virtual int VE_GetNetworkStatus();
    virtual int VE_SetVADStatus(int channel, int enable, int mode, int disableDTX);
    virtual int VE_GetVADStatus(int channel, int& enabled, int& mode, int& disableDTX);
    virtual int VE_SetECStatus(int mode);
    virtual int VE_GetECStatus();
    virtual int VE_GetECActivity();
    virtual int VE_Unsupported1();
    virtual int VE_CreateChannel();
    virtual int VE_DeleteChannel(int channel);
    virtual int VE_GetCodec(int position, VECodecInfo& codec);
    virtual int VE_GetNofCodecs();
    virtual int VE_SetSendCodec(int channel, const VECodecInfo* codec);
    virtual int VE_SetSendCodecAuto(int channel, int enable);
    virtual int VE_GetCurrentSendCodec(int channel, VECodecInfo& codec);
    virtual int VE_GetRecCodec(int channel, VECodecInfo& codec);
    virtual int VE_EnableIPv6(int channel);
    virtual int VE_SetRecPort(int channel, int rtpPort, const char* multicastGroup = nullptr,
                              const char* localAddress = nullptr, int rtcpPort = 0);
    virtual int VE_GetRecPort(int channel, int& rtpPort, int& rtcpPort);
    virtual int VE_SetSendPort(int channel, int rtpPort, int rtcpPort = 0);
    virtual int VE_SetSrcPort(int channel, int port);
    virtual int VE_GetSendPort(int channel, int& rtpPort, int& rtcpPort);
    virtual int VE_SetSendIP(int channel, const char* address);
    virtual int VE_GetSendIP(int channel, char* address, int length);
    virtual int VE_StartListen(int channel);
    virtual int VE_StartPlayout(int channel);
    virtual int VE_StartSend(int channel);
    virtual int VE_StopListen(int channel);
    virtual int VE_StopPlayout(int channel);
    virtual int VE_StopSend(int channel);
    virtual int VE_GetLastError();
    virtual int VE_SetSpeakerVolume(int level);
    virtual int VE_GetSpeakerVolume();
    virtual int VE_SetMicVolume(int level);
    virtual int VE_GetMicVolume();
    virtual int VE_SetChannelVolumeScale(int channel, float scale);
    virtual int VE_GetChannelVolumeScale(int channel, float& scale);
    virtual int VE_SetChannelOutputVolumePan(int channel, float left, float right);
    virtual int VE_GetChannelOutputVolumeScale(int channel, float& left, float& right);
    virtual int VE_SetAGCStatus(int mode);
    virtual int VE_GetAGCStatus();
    virtual int VE_SetAGCType(int type);
    virtual int VE_GetAGCType();
    virtual int VE_SetNRStatus(int mode);
    virtual int VE_GetNRStatus();
    virtual int VE_SetNRpolicy(int policy);
    virtual int VE_GetVersion(char* buffer, int length);
    virtual int VE_Terminate();
    virtual int VE_SetDTMFPayloadType(int channel, int payloadType);
    virtual int VE_SendDTMF(int channel, int event, int inBand, int directFeedback, int lengthMs, int level);
    virtual int VE_PlayDTMFTone(int event, int lengthMs, int level);
    virtual int VE_SetDTMFCallbacks(void* callbacks);
    virtual int VE_ConfigureChannel(int channel, const char* parameters);
    virtual int VE_GetChannelMIMEParameters(int channel, char* buffer, int length);
    virtual int VE_GetFromIP(int channel, char* address, int length);
    virtual int VE_GetFromPort(int channel);
    virtual int VE_SetFilterPort(int channel, int port);
    virtual int VE_SetFilterIP(int channel, const char* address);
    virtual int VE_GetFilterPort(int channel);
    virtual int VE_SetRecPayloadType(int channel, const VECodecInfo* codec);
    virtual int VE_SetSendCNPayloadType(int channel, int payloadType);
    virtual int VE_RTPStat(int channel, unsigned& packetsSent, unsigned& octetsSent, unsigned& packetsReceived);
    virtual int VE_RTCPStat(int channel, int& fractionLost, int& cumulativeLost, unsigned& extendedMax,
                            unsigned& jitter);
    virtual int VE_RTCPStat(int channel, int& fractionLost, int& cumulativeLost, unsigned& extendedMax,
                            unsigned& jitter, int& roundTripMs);
    virtual int VE_SetSoundDevices(const char* inName, const char* outName);
    virtual int VE_SetSoundDevices(int inDevice, int outDevice);
    virtual int VE_InitEncryption(int channel, const char* key);
    virtual int VE_EnableEncryption(int channel);
    virtual int VE_DisableEncryption(int channel);
    virtual int VE_SetDTMFFeedbackStatus(int enable);
    virtual int VE_GetDTMFFeedbackStatus();
    virtual int VE_SetWaveOutVolume(int left, int right);
    virtual int VE_GetWaveOutVolume(int& left, int& right);
    virtual int VE_GetNoOfChannels();
    virtual int VE_SetECType(int type);
    virtual int VE_GetECType();
    virtual int VE_GetInputLevel();
    virtual int VE_GetOutputLevel();
    virtual int VE_SetSendTOS(int channel, int value);
    virtual int VE_GetSendTOS(int channel);
    virtual int VE_SetSendGQOS(int channel, int enable, int serviceType);
    virtual int VE_GetSendGQOS(int channel, int& enabled, int& serviceType);
    virtual int VE_SetSendSSRC(int channel, unsigned ssrc);
    virtual int VE_GetSendSSRC(int channel, unsigned& ssrc);
    virtual int VE_MuteMic(int channel, int mute);
    virtual int VE_PutOnHold(int channel, int enable);
    virtual int VE_AddToConference(int channel, int enable);
    virtual int VE_SetTrace(int mode);
    virtual int VE_SetTraceFileName(const char* name);
    virtual int VE_SetTraceCallback(VETrace::Callback callback);
    virtual void* VE_QueryExtension(int identifier);
    virtual int VE_PlayPCM(int channel, const char* fileName, int loop, int format, float volumeScale,
                           int startMs, int stopMs);
    virtual int VE_PlayPCM(int channel, void* stream, int format, float volumeScale);
    virtual int VE_PlayPCMAsMicrophone(int channel, const char* fileName, int loop, int format, float volumeScale);
    virtual int VE_StopPlayingFile(int channel);
    virtual int VE_IsPlayingFile(int channel);
    virtual int VE_SetFilePlayoutScaling(int channel, float scale);
    virtual int VE_SetFilePlayoutScalingMic(int channel, float scale);
    virtual int VE_CheckIfAudioIsAvailable(int& playout, int& recording);
    virtual int VE_GetPlayoutTimeStamp(int channel, unsigned& timestamp);
    virtual int VE_SetMinDelay(int channel, int delayMs);
    virtual int VE_getRemoteRTCPData(int channel, unsigned& ntpHigh, unsigned& ntpLow, unsigned& timestamp);
    virtual int VE_InitTimesStamp(int channel);
    virtual int VE_GetSoundCardState();
    virtual int VE_EnableRTCP(int channel, int enable);
    virtual int VE_SetRTCPCNAME(int channel, const char* cname);
    virtual int VE_getRemoteRTCPCNAME(int channel, char* cname, int length);
    virtual int VE_EnableSRTPSend(int channel, int cipherType, int cipherKeyLength, int authType,
                                  int authKeyLength, int authTagLength, int securityServices,
                                  const unsigned char* key);
    virtual int VE_DisableSRTPSend(int channel);
    virtual int VE_EnableSRTPReceive(int channel, int cipherType, int cipherKeyLength, int authType,
                                     int authKeyLength, int authTagLength, int securityServices,
                                     const unsigned char* key);
    virtual int VE_DisableSRTPReceive(int channel);
    virtual int VE_StartPTTPlayout(int channel);
    virtual int VE_GetPTTActivity(int channel);
    virtual int VE_GetPTTSession(int channel);
    virtual int VE_sendRTCP_APP(int channel, int subtype, unsigned name, const char* data, int length);
    virtual int VE_subscribeRTCP_APP(int channel, void* handler);
    virtual int VE_SetSendTransport(int channel, VETransport* transport);
    virtual int VE_ReceivedRTPPacket(int channel, const void* data, int length);
    virtual int VE_ReceivedRTCPPacket(int channel, const void* data, int length);
    virtual int SetObserver(VEObserver* observer, bool useDefault);
    virtual int VE_SetPacketTimeout(int channel, bool enable, int seconds);
    virtual int VE_StartRecording(const char* fileName);
    virtual int VE_StopRecording();
    virtual int VE_StartRecordingMicrophone(const char* fileName);
    virtual int VE_StopRecordingMicrophone();
    virtual int VE_StartRecordingCall(const char* fileName);
    virtual int VE_PauseRecordingCall(int enable);
    virtual int VE_StopRecordingCall();
    virtual int VE_ConvertPCMToWav(const char* in, const char* out);
    virtual int VE_ConvertPCMToCompressed(const char* in, const char* out, const VECodecInfo* codec);
    virtual int VE_ConvertWavToPCM(const char* in, const char* out);
    virtual int VE_ConvertCompressedToPCM(const char* in, const char* out);
    virtual int VE_InitRTPToPCMConversion(const char* out);
    virtual int VE_StartRTPToPCMConversion();
    virtual int VE_StopRTPToPCMConversion();
    virtual int VE_ConvertRTPToPCM(const void* packet, int length);
    virtual int VE_EnableVQMon(int channel, int enable);
    virtual int VE_EnableRTCP_XR(int channel, int enable);
    virtual int VE_GetVoIPMetrics(int channel, void* metrics);
    virtual int VE_InstallAlertHandler(void* handler);
    virtual int VE_SetAlert(int channel, int alert, int threshold);
    virtual int VE_RemoveAlert(int channel, int alert);
    virtual int VE_GetVQMonSIPReport(int channel, char* buffer, int length);
    virtual int VE_VQMonIPInfo(int channel, const char* info);
    virtual int VE_SetAMR_enc_format(int channel, int format);
    virtual int VE_SetAMR_dec_format(int channel, int format);
    virtual int sendExtraPacket_RTP(int channel, const void* payload, int length);
    virtual int sendExtraPacket_RTCP(int channel, const void* payload, int length);
    virtual int VE_Unsupported2();
    virtual int VE_External_Recording_SendData(const short* samples, int count, int sampleRate);
    virtual int VE_GetPlayData(short* samples, int count, int sampleRate);
    virtual int VE_EnableExternalMediaProcessing(int enable);
    virtual int VE_EnableFEC(int channel, int enable, int redPayloadType);
    virtual int VE_GetCPULoadEngine();
    virtual int VE_GetCPULoadSystem();
    virtual int VE_GetRemoteSSRC(int channel, unsigned& ssrc);
    virtual int VE_GetVoiceActivityIndicator(int channel);
    virtual int VE_GrabPlayout(int enable);
    virtual int VE_GrabRecording(int enable);
    virtual int VE_SetSoundCardObject(void* soundCard);
    virtual int VE_NeedMorePlayData(short* samples, int count);
    virtual int VE_RecordedDataIsAvailable(const short* samples, int count);
    virtual int VE_InitRxVad(int channel, int enable);
    virtual int VE_StartRecordingStereo(const char* fileName);
    virtual int VE_StopRecordingStereo();
    virtual int VE_SetSpeakerVolumeStereo(int left, int right);
    virtual int VE_GetFileDuration(const char* fileName, int format);
    virtual int VE_GetPlaybackPosition(int channel);

    // --- sound card callbacks ------------------------------------------------
    int NeedMorePlayData(int16_t* buffer, int& samplesOut, int sampleRate, int samplesWanted,
                         int sampleFormat) override;
    int RecordedDataIsAvailable(const int16_t* samples, int sampleCount, int totalDelayMs, int micLevel,
                                int sampleRate, int sampleFormat) override;
    int ProblemIsReported(int message) override;
    int InitializationIsComplete(int error) override;

    // --- receive entry from the transport (socket thread) --------------------
    void ReceivedRtp(int channel, const uint8_t* data, size_t length) override;
    void ReceivedRtcp(int channel, const uint8_t* data, size_t length) override;

    // --- for the program's tools and tests (not engine operations) -----------
    void SetSoundCardFactory(SoundCardFactory factory);
    VESndCardStream* SoundCard() { return m_sndCard.get(); }
    VETrace& Trace() { return m_trace; }
    // The key under which the version record is written.
    static std::string VersionKeyFor(const std::string& commandLine);

    static int ConstructedEngines();

private:
    class TraceAdapter;
    class DefaultObserver : public VEObserver {
    public:
        void Notify(int, int) override {}
    };

    int Fail(int code);
    bool CheckInit();
    VEChannel* CheckChannel(int channel);
    void Api(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void LockSnd();
    void UnlockSnd();
    int StopPlayoutLocked(VEChannel& ch);
    int StopSendLocked(VEChannel& ch);
    int StopListenLocked(VEChannel& ch);
    int DeleteChannelLocked(int channel);
    int PlayingCount() const;
    bool AnySending() const;
    void SupervisionMain();
    void WriteVersionRecord();
    int Unsupported(const char* apiLine);
    void OnCapturedBlock(int channel, const int16_t* samples, int count, int sampleRate);

    VETrace m_trace;
    std::unique_ptr<TraceAdapter> m_rtpTrace;
    VECodecTable m_table;
    VERTPDatabase m_database;
    std::unique_ptr<SocketManager> m_sockets;
    std::unique_ptr<VESndCardStream> m_sndCard;
    SoundCardFactory m_factory;

    std::recursive_mutex m_apiLock;
    std::recursive_mutex m_fallbackSndLock; // sound card lock before Init
    std::mutex m_notifyLock;

    std::unique_ptr<VEChannel> m_channels[kMaxChannels];
    std::atomic<bool> m_initialized{false};
    std::atomic<int> m_lastError{0};
    int m_networkType = 0;
    int m_playingChannels = 0;
    bool m_playoutRunning = false;
    bool m_vadEnabled = false;
    bool m_dtmfFeedback = false;
    int m_initTxOption = 0;
    int m_engineNumber = 0;


    bool m_recProblem = false, m_playProblem = false, m_recError = false, m_playError = false;
    DefaultObserver m_defaultObserver;
    VEObserver* m_observer;
    int m_extensionRefs = 0;
    bool m_extensionCreated = false;

    // The audio path: playout mixer, capture side, voice quality processor.
    std::unique_ptr<Mixer> m_mixer;
    std::unique_ptr<Tx_Demux> m_tx;
    std::unique_ptr<VQE> m_vqe;
    std::unique_ptr<VECpuUsage> m_cpu;

    // Supervision thread.
    std::thread m_supervision;
    std::mutex m_stopLock;
    std::condition_variable m_stopCv;
    bool m_stopSupervision = false;
    int64_t m_lastStatsMs = 0;
};

// The process's engine object.
VEAPI* GetVoiceEngine();
