#pragma once
// SRTP for one direction of one channel, on top of libsrtp2.
//
// The parameters are checked when they are given (a session is created and
// freed again) and kept; the real session is created when the first packet
// passes. Library start and stop are reference counted: the engine calls
// LibraryInit() from each VE_Init and LibraryShutdown() from each
// VE_Terminate.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

struct srtp_ctx_t_;

struct VESrtpParams {
    int cipherType = 0;        // 0 null, 1 AES-128 counter mode
    int cipherKeyLength = 0;   // bytes of master key + salt (30 for AES-128)
    int authType = 0;          // 0 null, 3 HMAC-SHA1
    int authKeyLength = 0;     // bytes
    int authTagLength = 0;     // bytes
    int securityServices = 0;  // 0 none, 1 confidentiality, 2 authentication, 3 both
    std::array<uint8_t, 60> key{};
    int keyLength = 0;         // at most 60 kept

    // Builds the record from the operation's arguments (key cut to 60 bytes).
    static VESrtpParams Make(int cipherType, int cipherKeyLength, int authType, int authKeyLength,
                             int authTagLength, int securityServices, const uint8_t* key, int keyLength);
};

class VESrtpSession {
public:
    enum Direction { kSend, kReceive };

    VESrtpSession() = default;
    ~VESrtpSession();
    VESrtpSession(const VESrtpSession&) = delete;
    VESrtpSession& operator=(const VESrtpSession&) = delete;

    static int LibraryInit();      // 0 or -1
    static void LibraryShutdown();

    // Creates and frees a session with the parameters: 0 when libsrtp takes
    // them, -1 otherwise (also for values outside the allowed sets).
    static int Check(const VESrtpParams& params, Direction direction);

    // Stores the parameters (the session follows on the first packet).
    // Parameters already stored are kept: returns 1 then, else 0.
    int Configure(const VESrtpParams& params, Direction direction);
    void Disable();                 // drops parameters and session
    bool Enabled();

    // In place. `length` in/out; `capacity` is the buffer size (protect adds
    // up to the tag and MKI). 0 on success; -1 when the session cannot be
    // created ("Failed to initiate SRTP"), -2 when protect/unprotect fails.
    int Protect(uint8_t* packet, size_t& length, size_t capacity);
    int Unprotect(uint8_t* packet, size_t& length);

private:
    int EnsureSession();

    VESrtpParams m_params;
    Direction m_direction = kSend;
    bool m_configured = false;
    srtp_ctx_t_* m_session = nullptr;
    std::mutex m_lock;   // configuration vs. the packet threads
};
