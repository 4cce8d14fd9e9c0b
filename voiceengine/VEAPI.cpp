#include "voiceengine/VEAPI.h"

#include "app/Trace.h"
#include "platform/KeyValueStore.h"
#include "voiceengine/AlsaSndCardStream.h"
#include "voiceengine/FileSndCardStream.h"
#include "voiceengine/VECpuUsage.h"
#include "voiceengine/G711.h"
#include "voiceengine/JbFixed.h"
#include "voiceengine/Mixer.h"
#include "voiceengine/PlayPcm.h"
#include "voiceengine/TxDemux.h"
#include "voiceengine/Vqe.h"
#include "voiceengine/VEChannel.h"
#include "voiceengine/rtp/SocketManager.h"
#include "voiceengine/rtp/VESrtpSession.h"

#include <arpa/inet.h>
#include <srtp2/srtp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

namespace {

std::atomic<int> g_constructedEngines{0};
std::atomic<int> g_initializedEngines{0};

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const char kVersionText[] = "VoiceEngine\t2.4.1";

// Row and column frequencies of the 16 DTMF events (0-9, *, #, A-D).
void ToneFrequencies(int event, int& low, int& high) {
    static const int rows[4] = {697, 770, 852, 941};
    static const int cols[4] = {1209, 1336, 1477, 1633};
    static const int map[16][2] = {{3, 1}, {0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0},
                                   {2, 1}, {2, 2}, {3, 0}, {3, 2}, {0, 3}, {1, 3}, {2, 3}, {3, 3}};
    const int e = event < 0 || event > 15 ? 0 : event;
    low = rows[map[e][0]];
    high = cols[map[e][1]];
}

} // namespace

// The transport writes into the engine's trace through this.
class VEAPI::TraceAdapter : public VERtpTraceSink {
public:
    explicit TraceAdapter(VETrace& trace) : m_trace(trace) {}
    bool Wants(int level) const override {
        return m_trace.GetMode() != VETrace::kModeOff && (m_trace.GetLevelFilter() & level) != 0;
    }
    void Line(int level, const char* text) override { m_trace.Print(level, "%s", text); }

private:
    VETrace& m_trace;
};

VEAPI* GetVoiceEngine() {
    // The testing library hook of other platforms is not offered here: the
    // built-in engine is always the one.
    static VEAPI engine;
    return &engine;
}

int VEAPI::ConstructedEngines() { return g_constructedEngines.load(); }

VEAPI::VEAPI()
    : m_rtpTrace(std::make_unique<TraceAdapter>(m_trace)), m_database(m_table),
      m_observer(&m_defaultObserver) {
    m_engineNumber = ++g_constructedEngines;
    m_trace.SetMode(VETrace::kModeOff);
    m_trace.SetScrambling(1);
    m_trace.SetLevelFilter(223);
    m_trace.Print(VETrace::kMemory, "\tVEAPI::VEAPI() - ctor");
    m_sockets = std::make_unique<SocketManager>();
}

VEAPI::~VEAPI() {
    m_trace.Print(VETrace::kMemory, "\tVEAPI::~VEAPI() - dtor");
    m_trace.Print(VETrace::kMemory, "\t\t*** VoiceEngine is now being deleted ***");
    VE_Terminate();
    m_trace.Print(VETrace::kMemory, "\t\t deleting the VECpuUsage object");
    m_trace.Print(VETrace::kMemory, "\t\t deleting the Soundcard object");
    if (m_sndCard)
        m_sndCard->Shutdown();
    m_sndCard.reset();
    m_trace.Print(VETrace::kMemory, "\t\t deleting the Mixer object");
    m_trace.Print(VETrace::kMemory, "\t\t deleting the Tx object");
    m_trace.Print(VETrace::kMemory, "\t\t deleting the VERTPDatabase object");
    for (auto& ch : m_channels)
        ch.reset();
    m_trace.Print(VETrace::kMemory, "\t\t deleting the SocketManager object");
    m_sockets->Stop();
    m_sockets.reset();
}

// ---------------------------------------------------------------------------
// helpers

int VEAPI::Fail(int code) {
    m_lastError = code;
    return -1;
}

void VEAPI::Api(const char* format, ...) {
    va_list args;
    va_start(args, format);
    m_trace.PrintV(VETrace::kApiCall, format, args);
    va_end(args);
}

bool VEAPI::CheckInit() {
    if (m_initialized)
        return true;
    m_trace.Print(VETrace::kError, "Voice Engine has not been initialized yet");
    Fail(8026);
    return false;
}

VEChannel* VEAPI::CheckChannel(int channel) {
    if (channel < 0 || channel >= kMaxChannels) {
        m_trace.Print(VETrace::kError, "Channel not in range (%d - %d)", 0, kMaxChannels - 1);
        Fail(8002);
        return nullptr;
    }
    if (!m_channels[channel]) {
        m_trace.Print(VETrace::kError, "Channel not created (channel = %d)", channel);
        Fail(8002);
        return nullptr;
    }
    return m_channels[channel].get();
}

void VEAPI::LockSnd() {
    if (m_sndCard)
        m_sndCard->Lock();
    else
        m_fallbackSndLock.lock();
}

void VEAPI::UnlockSnd() {
    if (m_sndCard)
        m_sndCard->Unlock();
    else
        m_fallbackSndLock.unlock();
}

int VEAPI::PlayingCount() const { return m_playingChannels; }

bool VEAPI::AnySending() const {
    for (const auto& ch : m_channels)
        if (ch && ch->sending)
            return true;
    return false;
}

int VEAPI::Unsupported(const char* apiLine) {
    Api("%s", apiLine);
    return Fail(8003);
}

void VEAPI::SetSoundCardFactory(SoundCardFactory factory) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    m_factory = std::move(factory);
}

std::string VEAPI::VersionKeyFor(const std::string& commandLine) {
    size_t slash = commandLine.find_last_of("\\/");
    std::string name;
    if (slash == std::string::npos) {
        name = "Unknown process";
    } else {
        name = commandLine.substr(slash + 1);
        size_t quote = name.find('"');
        if (quote != std::string::npos)
            name.erase(quote);
    }
    return "SOFTWARE\\quarvoFON\\VoiceEngine\\" + name;
}

void VEAPI::WriteVersionRecord() {
    std::string commandLine;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::getline(in, commandLine, '\0');
    char version[512];
    memset(version, 0, sizeof version);
    if (VE_GetVersion(version, sizeof version) != 0)
        return;
    auto& store = qf::platform::CKeyValueStore::LocalMachine();
    const std::string key = VersionKeyFor(commandLine);
    if (store.CreateKey(key, "") != 1)
        return; // a machine store we cannot write is no reason to fail
    store.WriteString(key, "version", std::string(version, strnlen(version, sizeof version)));
}

// ---------------------------------------------------------------------------
// start-up and shut-down

int VEAPI::VE_Init(int vqeOption, int txOption, int unused1, int unused2, int unused3, int hwIdOption) {
    QF_TRACE("VEAPI::VE_Init");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_Init(%d,%d,%d,%d,%d,%d);", vqeOption, txOption, unused1, unused2, unused3, hwIdOption);
    if (m_initialized) {
        m_trace.Print(VETrace::kWarning, "\tVE was already initiated => bail out here");
        QF_LEAVE();
        return 0;
    }
    ++g_initializedEngines;
    {
        std::lock_guard<std::mutex> n(m_notifyLock);
        m_recProblem = m_playProblem = m_recError = m_playError = false;
    }
    m_extensionCreated = true;
    m_extensionRefs = 0;

    if (VESrtpSession::LibraryInit() != 0)
        m_trace.Print(VETrace::kError, "\tInitialization of SRTP failed");

    if (!m_cpu)
        m_cpu = std::make_unique<VECpuUsage>();
    m_cpu->Start();
    if (!m_sndCard) {
        m_trace.Print(VETrace::kInfo, "\tutilized hardware ID = %d", hwIdOption);
        if (m_factory) {
            m_sndCard = m_factory(this);
        } else {
            m_sndCard = std::make_unique<AlsaSndCardStream>(
                this, [this](int level, const std::string& text) { m_trace.Print(level, "%s", text.c_str()); });
        }
        if (!m_sndCard) {
            m_trace.Print(VETrace::kCritical, "Failed to create soundcard object");
            --g_initializedEngines;
            QF_LOG_ERROR("Failed to create soundcard object");
            return -1;
        }
    }

    auto traceFn = [this](int level, const std::string& text) { m_trace.Print(level, "%s", text.c_str()); };
    if (!m_mixer) {
        m_mixer = std::make_unique<Mixer>();
        m_mixer->SetTrace(traceFn);
    }
    if (!m_tx) {
        m_tx = std::make_unique<Tx_Demux>();
        m_tx->SetTrace(traceFn);
        m_tx->SetSink([this](int channel, const int16_t* samples, int count, int sampleRate,
                             const std::vector<uint32_t>&) { OnCapturedBlock(channel, samples, count, sampleRate); });
    }

    LockSnd();
    m_vqe = std::make_unique<VQE>();
    VQEConfig config;
    config.samplingRate = 16000;
    config.param1 = 100;
    config.param2 = 500;
    config.param3 = 0;
    config.param4 = 256;
    if (m_vqe->Create(config, (vqeOption & 0xff) == 1) != 0 || m_vqe->Init(8000) != 0) {
        m_trace.Print(VETrace::kWarning, "\tInitialization of VQE failed (warning code = %d)", 9008);
        m_lastError = 9008;
    }
    // Transmit-side defaults: echo control and noise reduction off, analog
    // gain control on.
    m_tx->SetVqe(m_vqe.get());
    m_mixer->SetVqe(m_vqe.get());
    m_tx->SetECStatus(0);
    m_tx->SetNRStatus(0);
    m_tx->SetAGCType(2);
    m_tx->SetAGCStatus(1);
    m_tx->SetECType(0);
    m_mixer->SetEchoControl(false, false);
    m_sndCard->SetAnalogAGC(true);
    if (m_sndCard->OpenMicrophoneMixer(false) != 0) {
        m_lastError = 9004;
        m_trace.Print(VETrace::kWarning, "\tCannot access microphone (warning code = %d)", 9004);
    }
    m_sndCard->StartThread();
    if (m_sndCard->OpenSpeakerMixer() != 0) {
        m_lastError = 9005;
        m_trace.Print(VETrace::kWarning, "\tCannot access speaker (warning code = %d)", 9005);
    }
    if (m_sockets->Start() != 0)
        m_trace.Print(VETrace::kWarning, "\tSocketManager::Start failed, probably not authorized to set priority");
    m_playingChannels = 0;
    m_playoutRunning = false;
    m_mixer->Init();
    m_tx->Reset();

    {
        std::lock_guard<std::mutex> stop(m_stopLock);
        m_stopSupervision = false;
    }
    m_lastStatsMs = NowMs();
    m_supervision = std::thread(&VEAPI::SupervisionMain, this);

    m_initialized = true;
    m_initTxOption = txOption;
    UnlockSnd();

    WriteVersionRecord();
    srand(static_cast<unsigned>(time(nullptr)));
    QF_LEAVE();
    return 0;
}

int VEAPI::VE_Terminate() {
    QF_TRACE("VEAPI::VE_Terminate");
    std::unique_lock<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_Terminate();");
    if (!m_initialized) {
        QF_LEAVE();
        return 0;
    }
    m_playoutRunning = false;
    --g_initializedEngines;

    LockSnd();
    m_sndCard->StopPlayout();
    m_sndCard->StopRecording();
    UnlockSnd();

    for (int i = 0; i < kMaxChannels; ++i)
        if (m_channels[i])
            DeleteChannelLocked(i);
    m_playingChannels = 0;

    // The socket thread and the audio thread may be waiting for our locks:
    // they are stopped with no lock held.
    api.unlock();
    m_sndCard->Shutdown();
    m_sockets->Stop();
    {
        std::lock_guard<std::mutex> stop(m_stopLock);
        m_stopSupervision = true;
    }
    m_stopCv.notify_all();
    if (m_supervision.joinable())
        m_supervision.join();
    api.lock();

    if (m_extensionRefs > 0) {
        QF_LOG_ERROR("extension still referenced (%d)", m_extensionRefs);
        return -1;
    }
    m_extensionCreated = false;
    m_initialized = false;
    m_initTxOption = 0;
    VESrtpSession::LibraryShutdown();
    LockSnd();
    m_tx->SetVqe(nullptr);
    m_mixer->SetVqe(nullptr);
    m_vqe.reset();
    UnlockSnd();
    QF_LEAVE();
    return 0;
}

// ---------------------------------------------------------------------------
// supervision

void VEAPI::SupervisionMain() {
    std::unique_lock<std::mutex> lk(m_stopLock);
    while (true) {
        if (m_stopCv.wait_for(lk, std::chrono::milliseconds(500), [this] { return m_stopSupervision; }))
            return;
        lk.unlock();

        std::vector<std::pair<int, int>> notes;
        {
            std::lock_guard<std::mutex> n(m_notifyLock);
            if (m_recProblem) {
                m_trace.Print(VETrace::kWarning, "callback VE_RUNTIME_REC_PROBLEM");
                notes.emplace_back(9013, -1);
                m_recProblem = false;
            }
            if (m_recError) {
                m_trace.Print(VETrace::kError, "callback VE_RUNTIME_REC_ERROR");
                notes.emplace_back(10020, -1);
                m_recError = false;
            }
            if (m_playProblem) {
                m_trace.Print(VETrace::kError, "callback VE_RUNTIME_PLAY_PROBLEM");
                notes.emplace_back(9015, -1);
                m_playProblem = false;
            }
            if (m_playError) {
                m_trace.Print(VETrace::kError, "callback VE_RUNTIME_PLAY_ERROR");
                notes.emplace_back(10019, -1);
                m_playError = false;
            }
        }
        VEObserver* observer;
        {
            std::lock_guard<std::recursive_mutex> api(m_apiLock);
            const int64_t now = NowMs();
            for (auto& ch : m_channels) {
                if (!ch || !ch->Transport().Listening() || ch->packetTimeoutSec <= 0)
                    continue;
                if (ch->lastPacketMs + ch->packetTimeoutSec * 1000LL < now) {
                    ch->packetTimeoutSec = 0;
                    notes.emplace_back(8035, ch->Number());
                }
            }
            if (now - m_lastStatsMs > 5000) {
                m_lastStatsMs = now;
                for (auto& ch : m_channels) {
                    if (!ch || ch->Transport().RTCPEnabled())
                        continue;
                    uint8_t fraction = 0;
                    uint32_t cumulative = 0, highest = 0, jitter = 0;
                    ch->JitterBuffer().PeekRtcpStatistics(fraction, cumulative, highest, jitter);
                    m_trace.Print(VETrace::kInfo, "RTCP statistics of channel %d", ch->Number());
                    m_trace.Print(VETrace::kInfo, "fraction lost =%d, jitter = %d %%", fraction,
                                  static_cast<int>(jitter));
                }
                m_trace.Print(VETrace::kInfo, "CPU Load by VoiceEngine is %d %%", m_sndCard ? m_sndCard->CpuLoad() : 0);
                m_trace.Print(VETrace::kInfo, "System CPU Load is %d %%", m_cpu ? std::max(0, m_cpu->SystemLoad()) : 0);
            }
            observer = m_observer;
        }
        // Notifications go out with no engine lock held, so an observer may
        // call back into the engine.
        for (auto& [code, channel] : notes)
            observer->Notify(code, channel);
        lk.lock();
    }
}

// ---------------------------------------------------------------------------
// network type, codecs

int VEAPI::VE_SetNetworkStatus(int networkType) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetNetworkStatus(%d);", networkType);
    if (networkType < 0 || networkType > 3)
        return Fail(8005);
    m_networkType = networkType;
    return 0;
}

int VEAPI::VE_GetNetworkStatus() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetNetworkStatus();");
    return m_networkType;
}

int VEAPI::VE_GetNofCodecs() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetNofCodecs();");
    const int n = m_table.ListCount(m_networkType);
    m_trace.Print(VETrace::kInfo, "\tnumber codecs given network type %d is %d", m_networkType, n);
    return n;
}

int VEAPI::VE_GetCodec(int position, VECodecInfo& codec) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetCodec(%d);", position);
    const int idx = m_table.ListEntry(m_networkType, position);
    if (idx < 0)
        return Fail(8004);
    codec = m_table.At(idx).info;
    return 0;
}

int VEAPI::VE_SetSendCodec(int channel, const VECodecInfo* codec) {
    QF_TRACE("VEAPI::VE_SetSendCodec");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSendCodec(%d);", channel);
    if (!codec)
        return Fail(8005);
    if (codec->channels != 1)
        return Fail(8023);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    char name[sizeof codec->name + 1];
    memcpy(name, codec->name, sizeof codec->name);
    name[sizeof codec->name] = '\0';

    LockSnd();
    struct Unlock {
        VEAPI* self;
        ~Unlock() { self->UnlockSnd(); }
    } unlock{this};
    if (VECodecTable::NameEquals(name, "cn") || VECodecTable::NameEquals(name, "energyCodec") ||
        VECodecTable::NameEquals(name, "telephone-event")) {
        m_trace.Print(VETrace::kError, "\tCodec info is not correct (warning code = %d)", 8007);
        return Fail(8007);
    }
    const int idx = m_table.FindInList(m_networkType, name);
    if (idx < 0) {
        m_trace.Print(VETrace::kError, "\tCodec info is not correct (warning code = %d)", 8007);
        return Fail(8007);
    }
    const VECodecInfo& entry = m_table.At(idx).info;
    if (codec->frequency != entry.frequency)
        return Fail(8008);
    if (!m_table.IsAllowedPacketSize(idx, codec->packetSize))
        return Fail(8010);
    if (idx == VECodecTable::kAWB) {
        m_trace.Print(VETrace::kInfo, "Setting AWB rate to %d with framesize %d", codec->rate, codec->packetSize);
        if (codec->rate != -1 && (codec->rate < 6600 || codec->rate > 23850)) {
            m_trace.Print(VETrace::kError, "initawb_rate: Wrong AWB rate (%d)", codec->rate);
            return Fail(8031);
        }
    }
    const bool nameChanged = !VECodecTable::NameEquals(name, ch->sendCodec.name);
    const bool freqChanged = codec->frequency != ch->sendCodec.frequency;
    if (nameChanged)
        ch->ResetTransmitter();
    ch->sendCodec.packetSize = codec->packetSize;
    ch->sendCodec.frequency = codec->frequency;
    memset(ch->sendCodec.name, 0, sizeof ch->sendCodec.name);
    memcpy(ch->sendCodec.name, name, strnlen(name, sizeof ch->sendCodec.name - 1));
    ch->sendCodec.payloadType = codec->payloadType;
    ch->sendCodec.channels = codec->channels;
    ch->sendCodec.rate = codec->rate;
    if (!ch->sending) {
        QF_LEAVE();
        return 0;
    }
    if (freqChanged && m_vqe && m_vqe->Reset(16000) != 0) {
        m_lastError = 9008;
        m_trace.Print(VETrace::kWarning, "\tReset of VQE failed (warning code = %d)", 9008);
    }
    m_tx->SetCodecRate(channel, codec->frequency);
    ch->SetTransmitCodec(ch->sendCodec);
    ch->Transport().SetSendCodec(ch->sendCodec.name, ch->sendCodec.frequency, ch->sendCodec.payloadType);
    ch->sendCNPayloadType = m_table.At(m_table.ComfortNoiseFor(codec->frequency)).info.payloadType;
    QF_LEAVE();
    return 0;
}

int VEAPI::VE_SetSendCodecAuto(int channel, int enable) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSendCodecAuto(%d,%d);", channel, enable);
    if (!CheckChannel(channel))
        return -1;
    // The automatic mode would pick codecs by network conditions; it is not
    // offered.
    return Fail(8003);
}

int VEAPI::VE_GetCurrentSendCodec(int channel, VECodecInfo& codec) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetCurrentSendCodec(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    codec = ch->sendCodec;
    return 0;
}

int VEAPI::VE_GetRecCodec(int channel, VECodecInfo& codec) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetRecCodec(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    VERTPDatabase::Entry e;
    if (ch->lastPayloadType < 0 || m_database.Lookup(channel, ch->lastPayloadType, e) != 0)
        return Fail(8007);
    codec = m_table.At(e.codecIndex).info;
    codec.payloadType = e.payloadType;
    return 0;
}

int VEAPI::VE_SetRecPayloadType(int channel, const VECodecInfo* codec) {
    QF_TRACE("VEAPI::VE_SetRecPayloadType");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetRecPayloadType(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (!codec)
        return Fail(8005);
    if (ch->playing) {
        m_trace.Print(VETrace::kWarning, "VE_SetRecPayloadType() (warning code = %d)", 8020);
        return Fail(8020);
    }
    char name[sizeof codec->name + 1];
    memcpy(name, codec->name, sizeof codec->name);
    name[sizeof codec->name] = '\0';
    if (codec->payloadType < 0 || codec->payloadType > 127 ||
        m_database.Rebind(channel, name, codec->frequency, codec->payloadType) != 0) {
        m_trace.Print(VETrace::kError, "\tCodec info is not correct (warning code = %d)", 8007);
        return Fail(8007);
    }
    LockSnd();
    ch->ResetReceiveSide();
    UnlockSnd();
    QF_LEAVE();
    return 0;
}

int VEAPI::VE_SetSendCNPayloadType(int channel, int payloadType) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSendCNPayloadType(%d,%d);", channel, payloadType);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    ch->sendCNPayloadType = payloadType;
    return 0;
}

// ---------------------------------------------------------------------------
// channels

int VEAPI::VE_CreateChannel() {
    QF_TRACE("VEAPI::VE_CreateChannel");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_CreateChannel();");
    if (!CheckInit())
        return -1;
    LockSnd();
    bool any = false;
    int slot = -1;
    for (int i = 0; i < kMaxChannels; ++i) {
        if (m_channels[i])
            any = true;
        else if (slot < 0)
            slot = i;
    }
    if (!any) {
        if (m_sndCard->OpenMicrophoneMixer(false) != 0) {
            m_lastError = 9004;
            m_trace.Print(VETrace::kWarning, "\tCannot access microphone (warning code = %d)", 9004);
        }
        if (m_sndCard->OpenSpeakerMixer() != 0) {
            m_lastError = 9005;
            m_trace.Print(VETrace::kWarning, "\tCannot access speaker (warning code = %d)", 9005);
        }
    }
    if (slot < 0) {
        UnlockSnd();
        return Fail(8002);
    }
    m_channels[slot] =
        std::make_unique<VEChannel>(slot, m_table, m_database, m_trace, *m_sockets, *this, m_rtpTrace.get());
    m_database.CreateChannel(slot);
    m_channels[slot]->ResetReceiveSide();
    m_mixer->Register(slot, &m_channels[slot]->JitterBuffer());
    m_channels[slot]->sendCNPayloadType = m_table.At(VECodecTable::kCN8).info.payloadType;
    UnlockSnd();
    QF_LEAVE();
    return slot;
}

int VEAPI::DeleteChannelLocked(int channel) {
    VEChannel& ch = *m_channels[channel];
    StopSendLocked(ch);
    StopListenLocked(ch);
    StopPlayoutLocked(ch);
    LockSnd();
    m_database.DeleteChannel(channel);
    m_tx->DisableChannel(channel);
    m_mixer->Unregister(channel);
    std::unique_ptr<VEChannel> gone = std::move(m_channels[channel]);
    UnlockSnd();
    gone.reset();
    return 0;
}

int VEAPI::VE_DeleteChannel(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_DeleteChannel(%d);", channel);
    if (!CheckInit())
        return -1;
    if (!CheckChannel(channel))
        return -1;
    return DeleteChannelLocked(channel);
}

int VEAPI::VE_GetNoOfChannels() {
    Api("VEobj.VE_GetNoOfChannels();");
    return kMaxChannels;
}

// ---------------------------------------------------------------------------
// ports and addresses

int VEAPI::VE_EnableIPv6(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_EnableIPv6(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (ch->Transport().EnableIPv6() != 0)
        return Fail(8039);
    return 0;
}

int VEAPI::VE_SetRecPort(int channel, int rtpPort, const char* multicastGroup, const char* localAddress,
                         int rtcpPort) {
    QF_TRACE("VEAPI::VE_SetRecPort");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetRecPort(%d,%d,%s,%s,%d);", channel, rtpPort, multicastGroup ? multicastGroup : "NULL",
        localAddress ? localAddress : "NULL", rtcpPort);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (ch->Transport().ExternalTransport()) {
        m_trace.Print(VETrace::kError, "External transport has been initialized: VE_SetRecPort() not used (error code = %d)",
                      8029);
        return Fail(8029);
    }
    int r = ch->Transport().SetRecPort(rtpPort, multicastGroup, localAddress, rtcpPort);
    // A socket closed just before (the previous call on the same port) stays
    // bound until the socket thread's current wait ends, at most one cycle.
    for (int retry = 0; retry < 5 && (r == 10003 || r == 9001); ++retry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        r = ch->Transport().SetRecPort(rtpPort, multicastGroup, localAddress, rtcpPort);
    }
    const int warning = ch->Transport().TakeWarning();
    if (warning != 0) {
        m_lastError = warning;
        if (warning == 8033)
            m_trace.Print(VETrace::kWarning, "NO GQoS support available");
    }
    if (r > 0)
        return Fail(r);
    if (r < 0)
        return -1;
    QF_LEAVE();
    return 0;
}

int VEAPI::VE_GetRecPort(int channel, int& rtpPort, int& rtcpPort) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetRecPort(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    ch->Transport().GetRecPort(rtpPort, rtcpPort);
    return 0;
}

int VEAPI::VE_SetSendPort(int channel, int rtpPort, int rtcpPort) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSendPort(%d,%d,%d);", channel, rtpPort, rtcpPort);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (rtpPort < 1024 || rtpPort > 65535 || (rtcpPort != 0 && (rtcpPort < 1024 || rtcpPort > 65535)))
        return Fail(8006);
    if (ch->sending)
        return Fail(8018);
    const int r = ch->Transport().SetSendPort(rtpPort, rtcpPort);
    return r > 0 ? Fail(r) : (r < 0 ? -1 : 0);
}

int VEAPI::VE_SetSrcPort(int channel, int port) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSrcPort(%d,%d);", channel, port);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (port < 1024 || port > 65535)
        return Fail(8006);
    if (ch->sending)
        return Fail(8018);
    const int r = ch->Transport().SetSrcPort(port);
    return r > 0 ? Fail(r) : (r < 0 ? -1 : 0);
}

int VEAPI::VE_GetSendPort(int channel, int& rtpPort, int& rtcpPort) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetSendPort(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    ch->Transport().GetSendPort(rtpPort, rtcpPort);
    return 0;
}

int VEAPI::VE_SetSendIP(int channel, const char* address) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    if (address && strlen(address) > 39)
        m_trace.Print(VETrace::kApiCall, "VEobj.VE_SetSendIP ipadr error");
    else
        Api("VEobj.VE_SetSendIP(%d,%s);", channel, address ? address : "NULL");
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (ch->sending)
        return Fail(8018);
    if (!address || !*address || strlen(address) > 39)
        return Fail(8019);
    const int r = ch->Transport().SetSendIP(address);
    if (r > 0)
        return Fail(r);
    if (r < 0)
        return Fail(8019);
    m_trace.Print(VETrace::kInfo, "\tIP-address has been validated");
    return 0;
}

int VEAPI::VE_GetSendIP(int channel, char* address, int length) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetSendIP(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (!address || length <= 0)
        return Fail(8005);
    const std::string ip = ch->Transport().GetSendIP();
    if (static_cast<int>(ip.size()) >= length)
        return Fail(8005);
    memcpy(address, ip.c_str(), ip.size() + 1);
    return 0;
}

// ---------------------------------------------------------------------------
// listen, playout, send

int VEAPI::VE_StartListen(int channel) {
    QF_TRACE("VEAPI::VE_StartListen");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_StartListen(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    int rtpPort = 0, rtcpPort = 0;
    ch->Transport().GetRecPort(rtpPort, rtcpPort);
    if (!ch->Transport().ExternalTransport()) {
        if (rtpPort == 0)
            return Fail(8001);
        if (rtpPort < 0 || rtpPort > 65535)
            return Fail(8006);
    }
    if (ch->Transport().Listening()) {
        m_trace.Print(VETrace::kWarning, "VE_StartListen() (warning code = %d)", 8012);
        return Fail(8012);
    }
    const int r = ch->Transport().StartListen();
    if (r == 8012)
        m_trace.Print(VETrace::kWarning, "VE_StartListen() (warning code = %d)", 8012);
    if (r > 0)
        return Fail(r);
    if (r < 0)
        return Fail(10011);
    ch->lastPacketMs = NowMs();
    QF_LEAVE();
    return 0;
}

int VEAPI::VE_StopListen(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_StopListen(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    return StopListenLocked(*ch);
}

int VEAPI::StopListenLocked(VEChannel& ch) {
    LockSnd();
    if (ch.Transport().Listening() && !ch.Transport().ExternalTransport())
        ch.Transport().StopListen();
    ch.lastPayloadType = -1;
    ch.ResetReceiveSide();
    UnlockSnd();
    return 0;
}

int VEAPI::VE_StartPlayout(int channel) {
    QF_TRACE("VEAPI::VE_StartPlayout");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_StartPlayout(%d);", channel);
    if (!CheckInit())
        return -1;
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (ch->playing)
        return Fail(8020);
    LockSnd();
    ch->ResetReceiveSide();
    UnlockSnd();
    if (m_playingChannels >= kMaxPlayingChannels)
        return Fail(8014);
    if (!m_playoutRunning) {
        LockSnd();
        const int init = m_sndCard->IsPlayoutInitialized() ? 0 : m_sndCard->InitPlayout();
        if (init != 0) {
            const int code = init == -1 ? 10013 : (init == -2 ? 8017 : 10001);
            m_trace.Print(VETrace::kError, "\terror code = %d", code);
            UnlockSnd();
            return Fail(code);
        }
        ch->playing = true;
        m_mixer->AddChannel(channel);
        ++m_playingChannels;
        m_trace.Print(VETrace::kInfo, "\t\tchannel %d is now active => %d channels in total", channel,
                      m_playingChannels);
        m_trace.Print(VETrace::kInfo, " Operating system MajorVersion %d MinorVersion %d", 0, 0);
        UnlockSnd();
        const int start = m_sndCard->StartPlayout();
        if (start != 0) {
            LockSnd();
            ch->playing = false;
            m_mixer->RemoveChannel(channel);
            --m_playingChannels;
            UnlockSnd();
            const int code = (start <= -1 && start >= -5) ? 10003 - start : 10009;
            m_trace.Print(VETrace::kError, "\terror code = %d", code);
            return Fail(code);
        }
        m_playoutRunning = true;
    } else {
        LockSnd();
        ch->playing = true;
        m_mixer->AddChannel(channel);
        ++m_playingChannels;
        m_trace.Print(VETrace::kInfo, "\t\tchannel %d is now active => %d channels in total", channel,
                      m_playingChannels);
        UnlockSnd();
    }
    QF_LEAVE();
    return 0;
}

int VEAPI::VE_StopPlayout(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_StopPlayout(%d);", channel);
    if (!CheckInit())
        return -1;
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    return StopPlayoutLocked(*ch);
}

int VEAPI::StopPlayoutLocked(VEChannel& ch) {
    LockSnd();
    if (ch.playing) {
        ch.playing = false;
        m_mixer->RemoveChannel(ch.Number());
        --m_playingChannels;
    }
    if (m_playingChannels == 0) {
        m_mixer->SetIdle();
        if (m_playoutRunning) {
            m_sndCard->StopPlayout();
            m_playoutRunning = false;
        }
    }
    UnlockSnd();
    return 0;
}

int VEAPI::VE_StartSend(int channel) {
    QF_TRACE("VEAPI::VE_StartSend");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_StartSend(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (!CheckInit())
        return -1;
    if (ch->sending)
        return Fail(8018);
    ch->droppedPackets = 0;
    LockSnd();
    struct Unlock {
        VEAPI* self;
        bool held = true;
        ~Unlock() {
            if (held)
                self->UnlockSnd();
        }
    } unlock{this};
    VEChannelTransport& tr = ch->Transport();
    if (!tr.ExternalTransport()) {
        const std::string ip = tr.GetSendIP();
        int port = 0, rtcpPort = 0;
        tr.GetSendPort(port, rtcpPort);
        if (ip.empty() || ip == "0.0.0.0")
            return Fail(8019);
        if (port == 0)
            return Fail(8001);
        if (port < 0 || port > 65535)
            return Fail(8006);
    }
    ch->JitterBuffer().EnableRxVad(m_vadEnabled);
    const bool micRunning = AnySending();
    m_trace.Print(VETrace::kStream, "\t\tVE_StartSend() before initRecording");
    if (!micRunning && m_sndCard->InitRecording() != 0)
        return Fail(10002);
    m_lastError = 0;
    m_trace.Print(VETrace::kStream, "\t\tVE_StartSend() before socket init");
    tr.SetSendCodec(ch->sendCodec.name, ch->sendCodec.frequency, ch->sendCodec.payloadType);
    const int r = tr.StartSend();
    if (r == 9010) {
        m_lastError = 9010;
    } else if (r != 0) {
        m_trace.Print(VETrace::kError, "VE_StartSend() - Cannot Intialize Socket - (error code = %d)", r);
        return Fail(r > 0 && r != 10015 && (r == 8019 || r == 8001 || r == 8006) ? r : 10015);
    }
    if (m_playingChannels == 0)
        m_tx->Reset();
    if (m_vqe && m_vqe->Reset(16000) != 0) {
        m_trace.Print(VETrace::kWarning, "\tReset of VQE failed (warning code = %d)", 9008);
        if (m_lastError != 9010)
            m_lastError = 9008;
    }
    if (!micRunning) {
        const int rec = m_sndCard->StartRecording();
        if (rec != 0) {
            const int code = rec == -1 ? 8015 : (rec == -2 ? 8016 : (rec == -3 ? 10012 : 10009));
            m_trace.Print(VETrace::kError, "VE_StartSend() (error code = %d)", code);
            tr.StopSend();
            return Fail(code);
        }
    }
    m_trace.Print(VETrace::kStream, "\t\tVE_StartSend() after StartRecording");
    ch->SetTransmitCodec(ch->sendCodec);
    ch->ResetTransmitter();
    ch->sendCNPayloadType = m_table.At(m_table.ComfortNoiseFor(ch->sendCodec.frequency)).info.payloadType;
    ch->sending = true;
    m_tx->EnableChannel(channel, ch->sendCodec.frequency == 16000 ? 16000 : 8000);
    m_tx->SetMute(channel, ch->muted);
    unlock.held = false;
    UnlockSnd();
    QF_LEAVE();
    return m_lastError == 9010 ? -1 : 0;
}

int VEAPI::VE_StopSend(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_StopSend(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    return StopSendLocked(*ch);
}

int VEAPI::StopSendLocked(VEChannel& ch) {
    LockSnd();
    int result = 0;
    if (ch.sending) {
        ch.sending = false;
        m_tx->DisableChannel(ch.Number());
        ch.Transport().StopSend();
        ch.ResetTransmitter();
        if (!AnySending() && m_sndCard && m_sndCard->StopRecording() != 0)
            result = Fail(8030);
    }
    UnlockSnd();
    return result;
}

int VEAPI::VE_GetLastError() {
    const int e = m_lastError.load();
    m_trace.Print(VETrace::kApiCall, "VE_GetLastError() :%d", e);
    return e;
}

// ---------------------------------------------------------------------------
// levels and voice quality settings

int VEAPI::VE_SetSpeakerVolume(int level) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSpeakerVolume(%d);", level);
    if (!CheckInit())
        return -1;
    if (level < 0 || level > 255)
        return Fail(8005);
    LockSnd();
    const int r = m_sndCard->SetSpeakerLevel(level);
    UnlockSnd();
    if (r != 0) {
        m_trace.Print(VETrace::kWarning, " Cannot set speaker volume (warning code = %d)", 9003);
        return Fail(9003);
    }
    return 0;
}

int VEAPI::VE_GetSpeakerVolume() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetSpeakerVolume();");
    if (!CheckInit())
        return -1;
    LockSnd();
    const int level = m_sndCard->GetSpeakerLevel();
    UnlockSnd();
    if (level < 0) {
        m_trace.Print(VETrace::kWarning, " Cannot get speaker volume (warning code = %d)", 9006);
        return Fail(9006);
    }
    return level;
}

int VEAPI::VE_SetMicVolume(int level) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetMicVolume(%d);", level);
    if (!CheckInit())
        return -1;
    if (level < 0 || level > 255)
        return Fail(8005);
    LockSnd();
    const int r = m_sndCard->SetMicLevel(level);
    UnlockSnd();
    return r != 0 ? Fail(9002) : 0;
}

int VEAPI::VE_GetMicVolume() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetMicVolume();");
    if (!CheckInit())
        return -1;
    LockSnd();
    const int level = m_sndCard->GetMicLevel();
    UnlockSnd();
    return level < 0 ? Fail(9002) : level;
}

int VEAPI::VE_SetChannelVolumeScale(int channel, float scale) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetChannelVolumeScale(%d,%f);", channel, static_cast<double>(scale));
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (!(scale >= 0.0f && scale <= 2.0f))
        return Fail(8005);
    LockSnd();
    ch->JitterBuffer().SetOutputScale(scale);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_GetChannelVolumeScale(int channel, float& scale) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetChannelVolumeScale(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    scale = ch->JitterBuffer().OutputScale();
    return 0;
}

int VEAPI::VE_SetChannelOutputVolumePan(int channel, float left, float right) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetChannelOutputVolumePan(%d,%f,%f);", channel, static_cast<double>(left),
        static_cast<double>(right));
    if (!CheckChannel(channel))
        return -1;
    if (!(left >= 0.0f && left <= 2.0f && right >= 0.0f && right <= 2.0f))
        return Fail(8040);
    LockSnd();
    const int r = m_mixer->SetChannelPan(channel, left, right);
    UnlockSnd();
    return r == 0 ? 0 : Fail(8040);
}

int VEAPI::VE_GetChannelOutputVolumeScale(int channel, float& left, float& right) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetChannelOutputVolumeScale(%d);", channel);
    if (!CheckChannel(channel))
        return -1;
    return m_mixer && m_mixer->GetChannelPan(channel, left, right) == 0 ? 0 : Fail(8026);
}

int VEAPI::VE_SetECStatus(int mode) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetECStatus(%d);", mode);
    if (!CheckInit())
        return -1;
    if (mode < 0 || mode > 2)
        return Fail(8005);
    LockSnd();
    m_tx->SetECStatus(mode);
    m_mixer->SetEchoControl(mode != 0, m_tx->GetECType() == 1);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_GetECStatus() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetECStatus();");
    if (!CheckInit())
        return -1;
    return m_tx->GetECStatus();
}

int VEAPI::VE_GetECActivity() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetECActivity();");
    if (!CheckInit())
        return -1;
    return m_vqe ? m_vqe->GetEchoActivity() : 0;
}

int VEAPI::VE_SetECType(int type) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetECType(%d);", type);
    if (!CheckInit())
        return -1;
    if (type != 0 && type != 1)
        return Fail(8005);
    LockSnd();
    m_tx->SetECType(type);
    m_mixer->SetEchoControl(m_tx->GetECStatus() != 0, type == 1);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_GetECType() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetECType();");
    if (!CheckInit())
        return -1;
    return m_tx->GetECType();
}

int VEAPI::VE_SetAGCStatus(int mode) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetAGCStatus(%d);", mode);
    if (!CheckInit())
        return -1;
    if (mode != 0 && mode != 1)
        return -1; // leaves the last error as it was
    LockSnd();
    m_tx->SetAGCStatus(mode);
    m_sndCard->SetAnalogAGC(mode == 1 && m_tx->GetAGCType() == 2);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_GetAGCStatus() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetAGCStatus();");
    if (!CheckInit())
        return -1;
    return m_tx->GetAGCStatus();
}

int VEAPI::VE_SetAGCType(int type) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetAGCType(%d);", type);
    if (!CheckInit())
        return -1;
    if (type < 0 || type > 2)
        return Fail(8005);
    LockSnd();
    m_tx->SetAGCType(type);
    m_sndCard->SetAnalogAGC(m_tx->GetAGCStatus() == 1 && type == 2);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_GetAGCType() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetAGCType();");
    if (!CheckInit())
        return -1;
    return m_tx->GetAGCType();
}

int VEAPI::VE_SetNRStatus(int mode) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetNRStatus(%d);", mode);
    if (!CheckInit())
        return -1;
    if (mode != 0 && mode != 1)
        return Fail(8005);
    LockSnd();
    m_tx->SetNRStatus(mode);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_GetNRStatus() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetNRStatus();");
    if (!CheckInit())
        return -1;
    return m_tx->GetNRStatus();
}

int VEAPI::VE_SetNRpolicy(int policy) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetNRpolicy(%d);", policy);
    if (!CheckInit())
        return -1;
    if (policy < 0 || policy > 2)
        return Fail(8005);
    LockSnd();
    m_tx->SetNRpolicy(policy);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_SetVADStatus(int channel, int enable, int mode, int disableDTX) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetVADStatus(%d,%d,%d,%d);", channel, enable, mode, disableDTX);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (enable != 0 && enable != 1) {
        m_trace.Print(VETrace::kError, "VE_SetVADStatus: enable was not 0 or 1");
        return Fail(8005);
    }
    m_vadEnabled = enable == 1;
    LockSnd();
    ch->vadEnabled = m_vadEnabled;
    ch->vadDisableDtx = disableDTX != 0;
    UnlockSnd();
    return 0;
}

int VEAPI::VE_GetVADStatus(int channel, int& enabled, int& mode, int& disableDTX) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetVADStatus(%d);", channel);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    enabled = ch->vadEnabled ? 1 : 0;
    mode = 0;
    disableDTX = ch->vadDisableDtx ? 1 : 0;
    return 0;
}

int VEAPI::VE_GetVersion(char* buffer, int length) {
    Api("VEobj.VE_GetVersion();");
    if (!buffer || length <= 0)
        return Fail(8021);
    char jb[1024] = {};
    char vqe[1024] = {};
    JbFixed::Version(jb, sizeof jb);
    VQE::Version(vqe, sizeof vqe);
    std::string text;
    auto append = [&](const std::string& part) {
        if (static_cast<int>(text.size() + part.size()) >= length)
            return false;
        text += part;
        return true;
    };
    auto line = [](std::string t) {
        if (t.empty() || t.back() != '\n')
            t += '\n';
        return t;
    };
    if (!append(kVersionText) || !append("\n") || !append(line(jb)) || !append(line(vqe)) ||
        !append(line(srtp_get_version_string())))
        return Fail(8021);
    memcpy(buffer, text.c_str(), text.size() + 1);
    m_trace.Print(VETrace::kInfo, "\tfinal version: %s", buffer);
    return 0;
}

// ---------------------------------------------------------------------------
// DTMF

int VEAPI::VE_SetDTMFPayloadType(int channel, int payloadType) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetDTMFPayloadType(%d,%d);", channel, payloadType);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    const int r = ch->Transport().SetDTMFPayloadType(payloadType);
    return r > 0 ? Fail(r) : (r < 0 ? -1 : 0);
}

int VEAPI::VE_SendDTMF(int channel, int event, int inBand, int directFeedback, int lengthMs, int level) {
    QF_TRACE("VEAPI::VE_SendDTMF");
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SendDTMF(%d,%d,%d,%d,%d,%d);", channel, event, inBand, directFeedback, lengthMs, level);
    if (event < 0 || event > 16 || (event == 16 && inBand) || lengthMs < 100 || lengthMs > 400 || level < 0 ||
        level > 36)
        return Fail(8022);
    VEChannel* ch = CheckChannel(channel);
    if (!ch)
        return -1;
    if (!ch->sending) {
        m_trace.Print(VETrace::kWarning, "VE_SendDTMF() (warning code = %d)", 8027);
        return Fail(8027);
    }
    if (!inBand) {
        const int r = ch->Transport().SendTelephoneEvent(event, lengthMs, level);
        if (r > 0)
            return Fail(r);
        if (r < 0)
            return -1;
    } else {
        LockSnd();
        ch->inBandEvent = event;
        ch->inBandSamplesLeft = lengthMs * 8;
        ch->inBandLevel = level;
        ch->inBandPhase = 0;
        UnlockSnd();
    }
    if (m_dtmfFeedback && directFeedback && event <= 15) {
        LockSnd();
        m_mixer->PlayDtmfTone(event, lengthMs - 80, level);
        UnlockSnd();
    }
    QF_LEAVE();
    return 0;
}

int VEAPI::VE_PlayDTMFTone(int event, int lengthMs, int level) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_PlayDTMFTone(%d,%d,%d);", event, lengthMs, level);
    if (event < 0 || event > 15 || lengthMs < 10 || level < 0 || level > 36)
        return Fail(8022);
    if (!CheckInit())
        return -1;
    LockSnd();
    m_mixer->PlayDtmfTone(event, lengthMs, level);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_SetDTMFFeedbackStatus(int enable) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetDTMFFeedbackStatus(%d);", enable);
    if (enable != 0 && enable != 1)
        return Fail(8005);
    m_dtmfFeedback = enable == 1;
    return 0;
}

int VEAPI::VE_GetDTMFFeedbackStatus() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetDTMFFeedbackStatus();");
    return m_dtmfFeedback ? 1 : 0;
}

int VEAPI::VE_SetDTMFCallbacks(void*) { return Unsupported("VEobj.VE_SetDTMFCallbacks();"); }

// ---------------------------------------------------------------------------
// sound card callbacks

int VEAPI::NeedMorePlayData(int16_t* buffer, int& samplesOut, int sampleRate, int samplesWanted, int sampleFormat) {
    (void)samplesWanted;
    samplesOut = 0;
    if (sampleRate != 8000 && sampleRate != 16000 && sampleRate != 44000 && sampleRate != 48000) {
        m_trace.Print(VETrace::kError, "VEAPI::NeedMorePlayData, illegal fs (%i)", sampleRate);
        return Fail(8005);
    }
    if (sampleFormat != 0 && sampleRate != 8000)
        return Fail(8005);
    LockSnd();
    struct Unlock {
        VEAPI* self;
        ~Unlock() { self->UnlockSnd(); }
    } unlock{this};
    if (!m_mixer)
        return Fail(8026);
    int n = 0;
    if (sampleRate == 44000) {
        // The mixer has no 44 kHz output; take 48 kHz and drop every
        // twelfth sample.
        int16_t wide[480];
        if (m_mixer->Get(48000, 1, wide, n) != 0)
            return -1;
        for (int i = 0; i < 440; ++i)
            buffer[i] = wide[i * 12 / 11];
        samplesOut = 440;
        return 0;
    }
    if (sampleFormat == 0) {
        if (m_mixer->Get(sampleRate, 1, buffer, n) != 0)
            return -1;
        samplesOut = n;
        return 0;
    }
    int16_t narrow[80];
    if (m_mixer->Get(8000, 1, narrow, n) != 0)
        return -1;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(buffer);
    if (sampleFormat == 1)
        g711::EncodeUlaw(narrow, 80, bytes);
    else
        g711::EncodeAlaw(narrow, 80, bytes);
    samplesOut = 80;
    return 0;
}

int VEAPI::RecordedDataIsAvailable(const int16_t* samples, int sampleCount, int totalDelayMs, int micLevel,
                                   int sampleRate, int sampleFormat) {
    LockSnd();
    struct Unlock {
        VEAPI* self;
        ~Unlock() { self->UnlockSnd(); }
    } unlock{this};
    if (!m_tx)
        return Fail(8026);
    int16_t expanded[80];
    if (sampleFormat != 0) {
        if (sampleRate != 8000 || sampleCount < 80 || (sampleFormat != 1 && sampleFormat != 2))
            return Fail(8005);
        if (sampleFormat == 1)
            g711::DecodeUlaw(reinterpret_cast<const uint8_t*>(samples), 80, expanded);
        else
            g711::DecodeAlaw(reinterpret_cast<const uint8_t*>(samples), 80, expanded);
        samples = expanded;
        sampleCount = 80;
    }
    const int level = m_tx->send(samples, sampleCount, sampleRate, totalDelayMs, micLevel);
    if (level < 0)
        return Fail(8005);
    return level == micLevel ? 0 : level;
}

void VEAPI::OnCapturedBlock(int channel, const int16_t* samples, int count, int sampleRate) {
    // Called by the capture side for each sending channel, under the sound
    // card lock.
    if (channel < 0 || channel >= kMaxChannels || !m_channels[channel] || !m_channels[channel]->sending)
        return;
    VEChannel& ch = *m_channels[channel];
    if (sampleRate != 8000 || count != 80) {
        ch.ProcessCapture(samples); // no encoder at this rate: the block is dropped there
        return;
    }
    if (ch.inBandSamplesLeft <= 0) {
        ch.ProcessCapture(samples);
        return;
    }
    int16_t withTone[80];
    memcpy(withTone, samples, sizeof withTone);
    int low, high;
    ToneFrequencies(ch.inBandEvent, low, high);
    const double amplitude = 16000.0 * std::pow(10.0, -ch.inBandLevel / 20.0);
    for (int i = 0; i < 80 && ch.inBandSamplesLeft > 0; ++i, --ch.inBandSamplesLeft, ++ch.inBandPhase) {
        const double t = ch.inBandPhase / 8000.0;
        const int v = withTone[i] +
                      static_cast<int>(amplitude * (std::sin(2 * M_PI * low * t) + std::sin(2 * M_PI * high * t)));
        withTone[i] = static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
    }
    ch.ProcessCapture(withTone);
}

int VEAPI::ProblemIsReported(int message) {
    m_trace.Print(VETrace::kWarning, "\tVEAPI::ProblemIsReported(message=%d)", message);
    std::lock_guard<std::mutex> n(m_notifyLock);
    switch (message) {
    case 1: m_recProblem = true; break;
    case 2: m_playProblem = true; break;
    case 3: m_recError = true; break;
    case 4: m_playError = true; break;
    default: break;
    }
    return 0;
}

int VEAPI::InitializationIsComplete(int error) {
    m_trace.Print(VETrace::kInfo, "\tVEAPI::InitializationIsComplete(error=%d)", error);
    if (error != 0)
        m_trace.Print(VETrace::kError, "\t\tfailed to initialize the sound device");
    return error;
}

// ---------------------------------------------------------------------------
// receive entry (socket thread)

void VEAPI::ReceivedRtp(int channel, const uint8_t* data, size_t length) {
    m_trace.Print(VETrace::kStream, "VEobj.RecProc(?,?,?,%i);", static_cast<int>(length));
    if (!data || length < 1 || (data[0] & 0xC0) != 0x80)
        return;
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    if (channel < 0 || channel >= kMaxChannels || !m_channels[channel])
        return;
    VEChannel& ch = *m_channels[channel];
    ch.lastPacketMs = NowMs();
    if (!ch.playing) {
        if (!ch.autoStart) {
            ++ch.droppedPackets;
            m_trace.Print(VETrace::kStream, "Received packet, but we are not playing");
            return;
        }
        m_trace.Print(VETrace::kInfo, ">>\tVEAPI::RecProc calls VE_StartPlayout(%d)", channel);
        VE_StartPlayout(channel);
    }
    LockSnd();
    ch.arrivalUs = m_sndCard ? m_sndCard->MediaClockUs() : -1;
    ch.Transport().ProcessRtp(data, length, ch);
    UnlockSnd();
}

void VEAPI::ReceivedRtcp(int channel, const uint8_t* data, size_t length) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    if (channel < 0 || channel >= kMaxChannels || !m_channels[channel])
        return;
    m_channels[channel]->Transport().ProcessRtcp(data, length);
}

// ---------------------------------------------------------------------------
// the remaining operations

#define VE_CHANNEL_OR_FAIL(var, channel)                                                                          \
    VEChannel* var = CheckChannel(channel);                                                                     \
    if (!var)                                                                                                   \
    return -1

namespace {
int TransportResult(int r, std::atomic<int>& lastError) {
    if (r > 0) {
        lastError = r;
        return -1;
    }
    return r < 0 ? -1 : 0;
}
} // namespace

int VEAPI::VE_Unsupported1() { return Unsupported("VEobj.VE_Unsupported1();"); }
int VEAPI::VE_Unsupported2() { return Unsupported("VEobj.VE_Unsupported2();"); }

int VEAPI::VE_ConfigureChannel(int channel, const char* parameters) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_ConfigureChannel(%d,%s);", channel, parameters ? parameters : "NULL");
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8003);
}

int VEAPI::VE_GetChannelMIMEParameters(int channel, char* buffer, int length) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetChannelMIMEParameters(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (!buffer || length <= 0)
        return Fail(8005);
    buffer[0] = '\0';
    return 0;
}

int VEAPI::VE_GetFromIP(int channel, char* address, int length) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetFromIP(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    const std::string ip = ch->Transport().GetFromIP();
    if (!address || static_cast<int>(ip.size()) >= length)
        return Fail(8005);
    memcpy(address, ip.c_str(), ip.size() + 1);
    return 0;
}

int VEAPI::VE_GetFromPort(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetFromPort(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return ch->Transport().GetFromPort();
}

int VEAPI::VE_SetFilterPort(int channel, int port) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetFilterPort(%d,%d);", channel, port);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return TransportResult(ch->Transport().SetFilterPort(port), m_lastError);
}

int VEAPI::VE_SetFilterIP(int channel, const char* address) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetFilterIP(%d,%s);", channel, address ? address : "NULL");
    VE_CHANNEL_OR_FAIL(ch, channel);
    return TransportResult(ch->Transport().SetFilterIP(address), m_lastError);
}

int VEAPI::VE_GetFilterPort(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetFilterPort(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return ch->Transport().GetFilterPort();
}

int VEAPI::VE_RTPStat(int channel, unsigned& packetsSent, unsigned& octetsSent, unsigned& packetsReceived) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_RTPStat(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    const VERtcpStatistics s = ch->Transport().GetRTCPStatistics();
    packetsSent = s.packetsSent;
    octetsSent = s.octetsSent;
    packetsReceived = s.packetsReceived;
    return 0;
}

int VEAPI::VE_RTCPStat(int channel, int& fractionLost, int& cumulativeLost, unsigned& extendedMax,
                       unsigned& jitter) {
    int rtt = 0;
    return VE_RTCPStat(channel, fractionLost, cumulativeLost, extendedMax, jitter, rtt);
}

int VEAPI::VE_RTCPStat(int channel, int& fractionLost, int& cumulativeLost, unsigned& extendedMax,
                       unsigned& jitter, int& roundTripMs) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_RTCPStat(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    const VERtcpStatistics s = ch->Transport().GetRTCPStatistics();
    fractionLost = s.fractionLost;
    cumulativeLost = s.cumulativeLost;
    extendedMax = s.extendedHighestSequence;
    jitter = s.jitter;
    roundTripMs = s.roundTripMs;
    return 0;
}

int VEAPI::VE_SetSoundDevices(const char* inName, const char* outName) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSoundDevices(%s,%s);", inName ? inName : "NULL", outName ? outName : "NULL");
    if (!CheckInit())
        return -1;
    if (AnySending())
        return Fail(8018);
    if (m_playoutRunning)
        return Fail(8020);
    LockSnd();
    const int r = m_sndCard->SelectDevicesByName(inName, outName);
    UnlockSnd();
    return r != 0 ? Fail(10022) : 0;
}

int VEAPI::VE_SetSoundDevices(int inDevice, int outDevice) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSoundDevices(%d,%d);", inDevice, outDevice);
    if (!CheckInit())
        return -1;
    if (AnySending())
        return Fail(8018);
    if (m_playoutRunning)
        return Fail(8020);
    LockSnd();
    const int r = m_sndCard->SelectDevices(inDevice, outDevice);
    UnlockSnd();
    return r != 0 ? Fail(10009) : 0;
}

int VEAPI::VE_InitEncryption(int channel, const char*) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_InitEncryption(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8025); // the old payload cipher is not offered; SRTP is
}

int VEAPI::VE_EnableEncryption(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_EnableEncryption(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8025);
}

int VEAPI::VE_DisableEncryption(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_DisableEncryption(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8025);
}

int VEAPI::VE_SetWaveOutVolume(int left, int right) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetWaveOutVolume(%d,%d);", left, right);
    if (!CheckInit())
        return -1;
    if (left < 0 || left > 0xffff || right < 0 || right > 0xffff)
        return Fail(8040);
    LockSnd();
    const int r = m_sndCard->SetWaveOutVolume(static_cast<uint32_t>(left) | (static_cast<uint32_t>(right) << 16));
    UnlockSnd();
    return r != 0 ? Fail(9003) : 0;
}

int VEAPI::VE_GetWaveOutVolume(int& left, int& right) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetWaveOutVolume();");
    if (!CheckInit())
        return -1;
    uint32_t v = 0;
    LockSnd();
    const int r = m_sndCard->GetWaveOutVolume(v);
    UnlockSnd();
    if (r != 0)
        return Fail(9006);
    left = static_cast<int>(v & 0xffff);
    right = static_cast<int>(v >> 16);
    return 0;
}

int VEAPI::VE_GetInputLevel() {
    Api("VEobj.VE_GetInputLevel();");
    return m_tx ? m_tx->InputLevel() : 0;
}

int VEAPI::VE_GetOutputLevel() {
    Api("VEobj.VE_GetOutputLevel();");
    return m_mixer ? m_mixer->OutputLevel() : 0;
}

int VEAPI::VE_SetSendTOS(int channel, int value) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSendTOS(%d,%d);", channel, value);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (ch->sending)
        return Fail(8018);
    return TransportResult(ch->Transport().SetSendTOS(value), m_lastError);
}

int VEAPI::VE_GetSendTOS(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetSendTOS(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return ch->Transport().GetSendTOS();
}

int VEAPI::VE_SetSendGQOS(int channel, int enable, int serviceType) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSendGQOS(%d,%d,%d);", channel, enable, serviceType);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (ch->sending)
        return Fail(8018);
    return TransportResult(ch->Transport().SetSendGQOS(enable != 0, serviceType), m_lastError);
}

int VEAPI::VE_GetSendGQOS(int channel, int& enabled, int& serviceType) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetSendGQOS(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    bool on = false;
    ch->Transport().GetSendGQOS(on, serviceType);
    enabled = on ? 1 : 0;
    return 0;
}

int VEAPI::VE_SetSendSSRC(int channel, unsigned ssrc) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSendSSRC(%d,%u);", channel, ssrc);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (ch->sending)
        return Fail(8018);
    return TransportResult(ch->Transport().SetSendSSRC(ssrc), m_lastError);
}

int VEAPI::VE_GetSendSSRC(int channel, unsigned& ssrc) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetSendSSRC(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    ssrc = ch->Transport().GetSendSSRC();
    return 0;
}

int VEAPI::VE_MuteMic(int channel, int mute) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_MuteMic(%d,%d);", channel, mute);
    VE_CHANNEL_OR_FAIL(ch, channel);
    ch->muted = mute != 0;
    LockSnd();
    if (m_tx)
        m_tx->SetMute(channel, mute != 0);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_PutOnHold(int channel, int enable) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_PutOnHold(%d,%d);", channel, enable);
    VE_CHANNEL_OR_FAIL(ch, channel);
    ch->onHold = enable != 0;
    LockSnd();
    if (m_mixer)
        m_mixer->SetHold(channel, enable != 0);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_AddToConference(int channel, int enable) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_AddToConference(%d,%d);", channel, enable);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8003);
}

int VEAPI::VE_SetTrace(int mode) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetTrace(%d);", mode);
    if (mode == 0) {
        m_trace.SetMode(VETrace::kModeOff);
        return 0;
    }
    if (mode != 2)
        return Fail(8005);
    m_trace.SetMode(VETrace::kModeFile);
    if (!m_trace.IsFileOpen()) {
        char name[64];
        snprintf(name, sizeof name, "VoiceTrace_%d.txt", m_engineNumber);
        if (m_trace.OpenFile(name) != 0)
            return Fail(8005);
    }
    m_trace.Print(VETrace::kInfo, "VE_SetTrace() (mode = %d)", mode);
    return 0;
}

int VEAPI::VE_SetTraceFileName(const char* name) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetTraceFileName(%s);", name ? name : "NULL");
    return m_trace.OpenFile(name) == 0 ? 0 : Fail(8005);
}

int VEAPI::VE_SetTraceCallback(VETrace::Callback callback) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    m_trace.SetMode(VETrace::kModeCallback);
    m_trace.SetLevelFilter(143);
    return m_trace.SetCallback(callback, nullptr) == 0 ? 0 : Fail(8005);
}

void* VEAPI::VE_QueryExtension(int identifier) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_QueryExtension(0x%X);", static_cast<unsigned>(identifier));
    if (identifier != kExtensionId || !m_extensionCreated)
        return nullptr;
    ++m_extensionRefs;
    return this;
}

int VEAPI::VE_PlayPCM(int channel, const char* fileName, int loop, int format, float volumeScale, int startMs,
                      int stopMs) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_PlayPCM(%d,%s,%d,%d,%f,%d,%d);", channel, fileName ? fileName : "NULL", loop, format,
        static_cast<double>(volumeScale), startMs, stopMs);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (!CheckInit())
        return -1;
    int error = 0;
    LockSnd();
    const int r = PlayPcm::Start(*m_mixer, channel, fileName, loop, format, volumeScale, startMs, stopMs, error,
                                 [this](int level, const std::string& text) { m_trace.Print(level, "%s", text.c_str()); });
    UnlockSnd();
    return r == 0 ? 0 : Fail(error != 0 ? error : 10016);
}

int VEAPI::VE_PlayPCM(int channel, void*, int, float) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_PlayPCM(%d,stream);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(10016);
}

int VEAPI::VE_PlayPCMAsMicrophone(int channel, const char* fileName, int, int, float) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_PlayPCMAsMicrophone(%d,%s);", channel, fileName ? fileName : "NULL");
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(10016);
}

int VEAPI::VE_StopPlayingFile(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_StopPlayingFile(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    LockSnd();
    if (m_mixer)
        m_mixer->StopFile(channel);
    UnlockSnd();
    return 0;
}

int VEAPI::VE_IsPlayingFile(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_IsPlayingFile(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return m_mixer && m_mixer->IsPlayingFile(channel) ? 1 : 0;
}

int VEAPI::VE_SetFilePlayoutScaling(int channel, float scale) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetFilePlayoutScaling(%d,%f);", channel, static_cast<double>(scale));
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (!(scale >= 0.0f && scale <= 1.0f))
        return Fail(10021);
    LockSnd();
    const int r = m_mixer ? m_mixer->SetFileScale(channel, scale) : -1;
    UnlockSnd();
    return r == 0 ? 0 : Fail(10016);
}

int VEAPI::VE_SetFilePlayoutScalingMic(int channel, float scale) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetFilePlayoutScalingMic(%d,%f);", channel, static_cast<double>(scale));
    VE_CHANNEL_OR_FAIL(ch, channel);
    return scale >= 0.0f && scale <= 1.0f ? 0 : Fail(10021);
}

int VEAPI::VE_CheckIfAudioIsAvailable(int& playout, int& recording) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_CheckIfAudioIsAvailable();");
    if (!CheckInit())
        return -1;
    LockSnd();
    playout = m_sndCard->InitPlayout() == 0 ? 1 : 0;
    recording = 1;
    UnlockSnd();
    return 0;
}

int VEAPI::VE_GetPlayoutTimeStamp(int channel, unsigned& timestamp) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetPlayoutTimeStamp(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    timestamp = ch->JitterBuffer().PlayoutTimestamp();
    return 0;
}

int VEAPI::VE_SetMinDelay(int channel, int delayMs) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetMinDelay(%d,%d);", channel, delayMs);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return ch->JitterBuffer().SetMinDelay(delayMs) == 0 ? 0 : Fail(8005);
}

int VEAPI::VE_getRemoteRTCPData(int channel, unsigned& ntpHigh, unsigned& ntpLow, unsigned& timestamp) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_getRemoteRTCPData(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    ntpHigh = ntpLow = timestamp = 0;
    return Fail(8003);
}

int VEAPI::VE_InitTimesStamp(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_InitTimesStamp(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8003);
}

int VEAPI::VE_GetSoundCardState() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetSoundCardState();");
    if (!m_sndCard)
        return 0;
    return (m_sndCard->IsRecording() ? 1 : 0) | (m_sndCard->IsPlaying() ? 2 : 0);
}

int VEAPI::VE_EnableRTCP(int channel, int enable) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_EnableRTCP(%d,%d);", channel, enable);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return TransportResult(ch->Transport().EnableRTCP(enable != 0), m_lastError);
}

int VEAPI::VE_SetRTCPCNAME(int channel, const char* cname) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetRTCPCNAME(%d,%s);", channel, cname ? cname : "NULL");
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (!cname)
        return Fail(8005);
    return TransportResult(ch->Transport().SetRTCPCNAME(cname), m_lastError);
}

int VEAPI::VE_getRemoteRTCPCNAME(int channel, char* cname, int length) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_getRemoteRTCPCNAME(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    const std::string remote = ch->Transport().GetRemoteRTCPCNAME();
    if (!cname || static_cast<int>(remote.size()) >= length)
        return Fail(8005);
    memcpy(cname, remote.c_str(), remote.size() + 1);
    m_trace.Print(VETrace::kInfo, "\t\tremote CNAME = %s", cname);
    return 0;
}

int VEAPI::VE_EnableSRTPSend(int channel, int cipherType, int cipherKeyLength, int authType, int authKeyLength,
                             int authTagLength, int securityServices, const unsigned char* key) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_EnableSRTPSend(%d,%d,%d,%d,%d,%d,%d);", channel, cipherType, cipherKeyLength, authType,
        authKeyLength, authTagLength, securityServices);
    VE_CHANNEL_OR_FAIL(ch, channel);
    const VESrtpParams params = VESrtpParams::Make(cipherType, cipherKeyLength, authType, authKeyLength,
                                                   authTagLength, securityServices, key, key ? 60 : 0);
    const int r = ch->Transport().EnableSRTPSend(params);
    if (r != 0)
        return Fail(r > 0 ? r : 9014);
    return 0;
}

int VEAPI::VE_DisableSRTPSend(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_DisableSRTPSend(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return TransportResult(ch->Transport().DisableSRTPSend(), m_lastError);
}

int VEAPI::VE_EnableSRTPReceive(int channel, int cipherType, int cipherKeyLength, int authType,
                                int authKeyLength, int authTagLength, int securityServices,
                                const unsigned char* key) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_EnableSRTPReceive(%d,%d,%d,%d,%d,%d,%d);", channel, cipherType, cipherKeyLength, authType,
        authKeyLength, authTagLength, securityServices);
    VE_CHANNEL_OR_FAIL(ch, channel);
    const VESrtpParams params = VESrtpParams::Make(cipherType, cipherKeyLength, authType, authKeyLength,
                                                   authTagLength, securityServices, key, key ? 60 : 0);
    const int r = ch->Transport().EnableSRTPReceive(params);
    if (r != 0)
        return Fail(r > 0 ? r : 8025);
    return 0;
}

int VEAPI::VE_DisableSRTPReceive(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_DisableSRTPReceive(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return TransportResult(ch->Transport().DisableSRTPReceive(), m_lastError);
}

int VEAPI::VE_StartPTTPlayout(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_StartPTTPlayout(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    // Playout starts with the first packet of the first source heard.
    ch->autoStart = true;
    ch->Transport().SetAutoStart(true);
    return 0;
}

int VEAPI::VE_GetPTTActivity(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetPTTActivity(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return ch->playing ? 1 : 0;
}

int VEAPI::VE_GetPTTSession(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetPTTSession(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return static_cast<int>(ch->Transport().GetRemoteSSRC());
}

int VEAPI::VE_sendRTCP_APP(int channel, int subtype, unsigned name, const char*, int) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_sendRTCP_APP(%d,%d,%u);", channel, subtype, name);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8003);
}

int VEAPI::VE_subscribeRTCP_APP(int channel, void*) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_subscribeRTCP_APP(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8003);
}

int VEAPI::VE_SetSendTransport(int channel, VETransport* transport) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetSendTransport(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return TransportResult(ch->Transport().SetSendTransport(transport), m_lastError);
}

int VEAPI::VE_ReceivedRTPPacket(int channel, const void* data, int length) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_ReceivedRTPPacket(%d,%d);", channel, length);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (!data || length < 1 || length > static_cast<int>(VEChannelTransport::kMaxExternalPacket))
        return Fail(8032);
    if ((static_cast<const uint8_t*>(data)[0] & 0xC0) != 0x80) {
        m_trace.Print(VETrace::kError, "RTP version not supported");
        return -1;
    }
    // The transport unprotects and comes back through ReceivedRtp (the API
    // lock is recursive).
    const int r = ch->Transport().ReceivedRTPPacket(static_cast<const uint8_t*>(data), static_cast<size_t>(length));
    return TransportResult(r, m_lastError);
}

int VEAPI::VE_ReceivedRTCPPacket(int channel, const void* data, int length) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_ReceivedRTCPPacket(%d,%d);", channel, length);
    VE_CHANNEL_OR_FAIL(ch, channel);
    m_trace.Print(VETrace::kStream, "Received RTCP packet");
    if (!data || length <= 0)
        return Fail(8032);
    return TransportResult(
        ch->Transport().ReceivedRTCPPacket(static_cast<const uint8_t*>(data), static_cast<size_t>(length)),
        m_lastError);
}

int VEAPI::SetObserver(VEObserver* observer, bool useDefault) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.SetObserver(%d);", useDefault ? 1 : 0);
    VEObserver* next = useDefault ? &m_defaultObserver : observer;
    if (!next)
        return Fail(8005);
    m_observer = next;
    return 0;
}

int VEAPI::VE_SetPacketTimeout(int channel, bool enable, int seconds) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_SetPacketTimeout(%d,%d,%d);", channel, enable ? 1 : 0, seconds);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (!enable) {
        ch->packetTimeoutSec = 0;
        return 0;
    }
    if (seconds < 2 || seconds > 149)
        return Fail(8005);
    ch->packetTimeoutSec = seconds;
    ch->lastPacketMs = NowMs();
    return 0;
}

int VEAPI::VE_StartRecording(const char*) { return Unsupported("VEobj.VE_StartRecording();"); }
int VEAPI::VE_StopRecording() { return Unsupported("VEobj.VE_StopRecording();"); }
int VEAPI::VE_StartRecordingMicrophone(const char*) { return Unsupported("VEobj.VE_StartRecordingMicrophone();"); }
int VEAPI::VE_StopRecordingMicrophone() { return Unsupported("VEobj.VE_StopRecordingMicrophone();"); }
int VEAPI::VE_StartRecordingCall(const char*) { return Unsupported("VEobj.VE_StartRecordingCall();"); }
int VEAPI::VE_PauseRecordingCall(int) { return Unsupported("VEobj.VE_PauseRecordingCall();"); }
int VEAPI::VE_StopRecordingCall() { return Unsupported("VEobj.VE_StopRecordingCall();"); }
int VEAPI::VE_ConvertPCMToWav(const char*, const char*) { return Unsupported("VEobj.VE_ConvertPCMToWav();"); }
int VEAPI::VE_ConvertPCMToCompressed(const char*, const char*, const VECodecInfo*) {
    return Unsupported("VEobj.VE_ConvertPCMToCompressed();");
}
int VEAPI::VE_ConvertWavToPCM(const char*, const char*) { return Unsupported("VEobj.VE_ConvertWavToPCM();"); }
int VEAPI::VE_ConvertCompressedToPCM(const char*, const char*) {
    return Unsupported("VEobj.VE_ConvertCompressedToPCM();");
}
int VEAPI::VE_InitRTPToPCMConversion(const char*) { return Unsupported("VEobj.VE_InitRTPToPCMConversion();"); }
int VEAPI::VE_StartRTPToPCMConversion() { return Unsupported("VEobj.VE_StartRTPToPCMConversion();"); }
int VEAPI::VE_StopRTPToPCMConversion() { return Unsupported("VEobj.VE_StopRTPToPCMConversion();"); }
int VEAPI::VE_ConvertRTPToPCM(const void*, int) { return Unsupported("VEobj.VE_ConvertRTPToPCM();"); }
int VEAPI::VE_EnableVQMon(int, int) { return Unsupported("VEobj.VE_EnableVQMon();"); }
int VEAPI::VE_EnableRTCP_XR(int, int) { return Unsupported("VEobj.VE_EnableRTCP_XR();"); }
int VEAPI::VE_GetVoIPMetrics(int, void*) { return Unsupported("VEobj.VE_GetVoIPMetrics();"); }
int VEAPI::VE_InstallAlertHandler(void*) { return Unsupported("VEobj.VE_InstallAlertHandler();"); }
int VEAPI::VE_SetAlert(int, int, int) { return Unsupported("VEobj.VE_SetAlert();"); }
int VEAPI::VE_RemoveAlert(int, int) { return Unsupported("VEobj.VE_RemoveAlert();"); }
int VEAPI::VE_GetVQMonSIPReport(int, char*, int) { return Unsupported("VEobj.VE_GetVQMonSIPReport();"); }
int VEAPI::VE_VQMonIPInfo(int, const char*) { return Unsupported("VEobj.VE_VQMonIPInfo();"); }
int VEAPI::VE_SetAMR_enc_format(int, int) { return Unsupported("VEobj.VE_SetAMR_enc_format();"); }
int VEAPI::VE_SetAMR_dec_format(int, int) { return Unsupported("VEobj.VE_SetAMR_dec_format();"); }

int VEAPI::sendExtraPacket_RTP(int channel, const void*, int) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.sendExtraPacket_RTP(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (!ch->sending) {
        m_trace.Print(VETrace::kError, "Channel not sending (channel = %d)", channel);
        return Fail(8002);
    }
    return Fail(8003);
}

int VEAPI::sendExtraPacket_RTCP(int channel, const void*, int) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.sendExtraPacket_RTCP(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (!ch->sending) {
        m_trace.Print(VETrace::kError, "Channel not sending (channel = %d)", channel);
        return Fail(8002);
    }
    return Fail(8003);
}

int VEAPI::VE_External_Recording_SendData(const short*, int, int) {
    return Unsupported("VEobj.VE_External_Recording_SendData();");
}
int VEAPI::VE_GetPlayData(short*, int, int) { return Unsupported("VEobj.VE_GetPlayData();"); }
int VEAPI::VE_EnableExternalMediaProcessing(int) { return Unsupported("VEobj.VE_EnableExternalMediaProcessing();"); }

int VEAPI::VE_EnableFEC(int channel, int enable, int redPayloadType) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_EnableFEC(%d,%d,%d);", channel, enable, redPayloadType);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return TransportResult(ch->Transport().EnableRedundancy(enable != 0, redPayloadType), m_lastError);
}

int VEAPI::VE_GetCPULoadEngine() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetCPULoadEngine();");
    if (!m_sndCard) {
        m_trace.Print(VETrace::kError, "Voice Engine has not been initialized yet");
        return Fail(8026);
    }
    const int load = m_sndCard->CpuLoad();
    return load < 0 ? Fail(8003) : load;
}

int VEAPI::VE_GetCPULoadSystem() {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetCPULoadSystem();");
    if (!m_cpu)
        return Fail(8003);
    return m_cpu->SystemLoad();
}

int VEAPI::VE_GetRemoteSSRC(int channel, unsigned& ssrc) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetRemoteSSRC(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    ssrc = ch->Transport().GetRemoteSSRC();
    return 0;
}

int VEAPI::VE_GetVoiceActivityIndicator(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetVoiceActivityIndicator(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return ch->JitterBuffer().VoiceActivity() ? 1 : 0;
}

int VEAPI::VE_GrabPlayout(int) { return Unsupported("VEobj.VE_GrabPlayout();"); }
int VEAPI::VE_GrabRecording(int) { return Unsupported("VEobj.VE_GrabRecording();"); }
int VEAPI::VE_SetSoundCardObject(void*) { return Unsupported("VEobj.VE_SetSoundCardObject();"); }
int VEAPI::VE_NeedMorePlayData(short*, int) { return Unsupported("VEobj.VE_NeedMorePlayData();"); }
int VEAPI::VE_RecordedDataIsAvailable(const short*, int) {
    return Unsupported("VEobj.VE_RecordedDataIsAvailable();");
}

int VEAPI::VE_InitRxVad(int channel, int enable) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_InitRxVad(%d,%d);", channel, enable);
    VE_CHANNEL_OR_FAIL(ch, channel);
    if (enable != 0 && enable != 1)
        return Fail(8005);
    ch->JitterBuffer().EnableRxVad(enable == 1);
    return 0;
}

int VEAPI::VE_StartRecordingStereo(const char*) { return Unsupported("VEobj.VE_StartRecordingStereo();"); }
int VEAPI::VE_StopRecordingStereo() { return Unsupported("VEobj.VE_StopRecordingStereo();"); }
int VEAPI::VE_SetSpeakerVolumeStereo(int, int) { return Unsupported("VEobj.VE_SetSpeakerVolumeStereo();"); }
int VEAPI::VE_GetFileDuration(const char*, int) { return Unsupported("VEobj.VE_GetFileDuration();"); }
int VEAPI::VE_GetPlaybackPosition(int channel) {
    std::lock_guard<std::recursive_mutex> api(m_apiLock);
    Api("VEobj.VE_GetPlaybackPosition(%d);", channel);
    VE_CHANNEL_OR_FAIL(ch, channel);
    return Fail(8003);
}
