// A connected, buffered byte stream over one TCP socket.
//
// Writes are collected in a ring buffer and leave on FlushWrite (or when the
// ring would overflow); reads are served from a second ring that is refilled
// with as much as the socket offers. Every wait on the socket is one poll of
// one second; an operation fails with ERR_TIMEOUT only after
// `channel_timeout` seconds without any byte moving, and with ERR_INT as soon
// as the caller's abort flag is set.
//
// The buffering code reaches the socket only through the I/O table `m_ops`,
// so that an SSL connection can be switched in underneath it unchanged.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/ustring.h"
#include "net/error_codes.h"

using SOCKET = int;

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class Channel {
public:
    enum { CHANNEL_SSL_MODE = 0, CHANNEL_PLAIN_MODE = 1 };

    static constexpr size_t kDefaultCapacity = 81920;
    static constexpr uint32_t kDefaultChannelTimeout = 60;

    // The I/O set under the buffers. `context` is a heap cell holding the
    // socket in plain mode and the SSL object in SSL mode; null when closed.
    struct __tag_CHANNEL_OPS {
        void* context;
        // At most one readiness wait of `timeout`, then at most `len` bytes;
        // the count moved (> 0) or a negative result code.
        int (*read)(void* context, void* buf, size_t len, const timeval& timeout, int* abort_flag);
        int (*write)(void* context, const void* buf, size_t len, const timeval& timeout, int* abort_flag);
        SOCKET (*get_fd)(void* context);
        // Shuts the connection down and frees the context.
        int (*close)(void* context);
        bool (*isInvalid)(void* context);
    };

    explicit Channel(size_t capacity = kDefaultCapacity);
    virtual ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Does nothing; 0.
    virtual int Open(const char* addr);
    // Adopts a connected or accepted socket. With `nonblock` the socket gets
    // a 1 s linger and is made non-blocking. 0, ERR_SYS or ERR_INVAL.
    virtual int Open(SOCKET fd, bool nonblock);
    // Connects to a dotted IPv4 address. 0, ERR_IO, ERR_SYS, or ERR_INVAL for
    // a null address, a port outside 1..65535 or a channel already open.
    virtual int Open(const char* ip, int port);
    // Flushes what is buffered, closes, and returns to the plain, unopened
    // state. Never fails.
    virtual int Close();
    // Seconds without progress before an operation gives up; 0: no limit.
    virtual void SetTimeout(uint32_t seconds);
    // The caller's abort flag (or null): while it holds a non-zero value,
    // every waiting operation ends with ERR_INT.
    virtual void SetFlag(int* flag);
    virtual int ConvertToSSLChannel(bool is_server);

    virtual int ReadByte(uint8_t* value);
    virtual int ReadInt16(uint16_t* value);
    virtual int ReadInt32(uint32_t* value);
    virtual int ReadInt64(uint64_t* value);
    virtual int WriteByte(uint8_t value);
    virtual int WriteInt16(uint16_t value);
    virtual int WriteInt32(uint32_t value);
    virtual int WriteInt64(uint64_t value);

    // Reads exactly `len` bytes; 0 or a negative result code.
    virtual int Read(char* buf, size_t len);
    // The same, telling in `total` how many bytes were delivered (on failure,
    // the bytes that did arrive are delivered too).
    virtual int Read(char* buf, size_t len, size_t& total);
    // Appends to the write buffer; a block larger than the buffer is refused
    // with ERR_INVAL before anything is buffered.
    virtual int Write(const char* buf, size_t len);
    virtual void ClearRead();
    virtual void ClearWrite();
    // Sends at least `want` buffered bytes (0: all of them).
    virtual int FlushWrite(int want);
    // Not supported: ERR_SYS, arguments untouched.
    virtual int GetPeerInfo(std::string& host, int& port);
    virtual bool IsClosed();
    // Receives at least `want` more bytes into the read buffer.
    virtual int ReadMore(int want);

    virtual uint64_t Convert(uint64_t value);
    virtual uint32_t Convert(uint32_t value);
    virtual uint16_t Convert(uint16_t value);

    virtual SOCKET CreateSock();
    virtual int SetLinger(SOCKET sock, int seconds);
    virtual int SetNonBlock(SOCKET sock);
    virtual int ConnectWithTimeout(SOCKET sock, const char* ip, int port);
    virtual void SwitchChannelOp(int mode);

    void SetAllowUntrust(bool allow) { m_is_allowing_untrust = allow; }
    bool IsAllowingUntrust() const { return m_is_allowing_untrust; }
    void SetSSLHostname(const ustring& hostname) { m_ssl_hostname = hostname; }
    // In SSL mode: the protocol version's name ("TLSv1.3") and the
    // certificate verification result (X509_V_OK or an X509_V_ERR_* code;
    // without a CA store, as when untrusted certificates are allowed, it
    // says that the issuer is unknown). False in plain mode.
    bool GetSSLStatus(std::string& version, long& verify_result) const;

    // The plain socket primitives stored in the I/O table.
    static int ReadFd(void* context, void* buf, size_t len, const timeval& timeout, int* abort_flag);
    static int WriteFd(void* context, const void* buf, size_t len, const timeval& timeout, int* abort_flag);
    static SOCKET plain_get_fd(void* context);
    static int plain_close(void* context);
    static bool plain_is_invalid(void* context);

    // One readiness wait on `fd` for `events` (poll flags). 0 when something
    // is ready (`revents` tells what), ERR_TIMEOUT when nothing is, ERR_SYS
    // when the wait failed, ERR_INT without waiting when the flag is set.
    static int SelectWithTimeout(SOCKET fd, short events, short* revents, const timeval& timeout, int* abort_flag);

    // Certificate locations for the SSL layer, set once at start-up.
    static std::string m_cert_path;
    static std::string m_key_path;
    static ustring m_ca_path;

    // The SSL layer. Trusted CA certificates (PEM) for verifying a server; an
    // empty path means the system's default trust store.
    static void SetVerifyCAPath(const ustring& path);
    // Certificate chain and private key (PEM) of the accepting side.
    static void SetCERTPath(const std::string& path);
    static void SetPriKeyPath(const std::string& path);
    // Builds an SSL context and object for one connection, in accept or
    // connect state. Without `allow_untrust` the CA store is loaded so that
    // the handshake's verification result means something. 0 or -1; on
    // failure both references are null.
    static int InitSSL(SSL*& ssl, SSL_CTX*& ctx, bool is_server, bool allow_untrust);
    // Frees the object and the context and nulls both references; the socket
    // is left open. `quiet` sends no close notification.
    static void DeinitSSL(SSL*& ssl, SSL_CTX*& ctx, bool quiet);
    // Runs the handshake on the object's non-blocking socket in waits of
    // `timeout`. 0, ERR_INT (abort flag), ERR_IO, ERR_SYS, or ERR_TIMEOUT
    // after `channel_timeout` seconds without the socket becoming ready.
    static int SSLHandshake(SSL* ssl, timeval timeout, uint32_t channel_timeout, int* abort_flag);
    static int InstallVerifyCA(SSL_CTX* ctx);
    static int InstallCERT(SSL_CTX* ctx);
    static int InstallPriKey(SSL_CTX* ctx);
    // The SSL I/O set; `context` is the SSL object.
    static int SSLReadFd(void* context, void* buf, size_t len, const timeval& timeout, int* abort_flag);
    static int SSLWriteFd(void* context, const void* buf, size_t len, const timeval& timeout, int* abort_flag);
    static SOCKET ssl_get_fd(void* context);
    static int ssl_channel_close(void* context);
    static bool ssl_channel_is_invalid(void* context);
    // Logs and empties this thread's OpenSSL error queue.
    static void log_ssl();
    // Whether a name from a certificate (`pattern`, possibly "*.domain")
    // names `host`, ignoring case.
    static bool checkCertHostnameMatch(const ustring& pattern, const ustring& host);

protected:
    // The SSL I/O set installed by SwitchChannelOp(CHANNEL_SSL_MODE).
    static const __tag_CHANNEL_OPS& SSLOps();

    __tag_CHANNEL_OPS m_ops;
    char* w_buf;
    size_t w_head;
    size_t w_size;
    char* r_buf;
    size_t r_head;
    size_t r_size;
    size_t capacity;
    timeval m_timeout;
    uint32_t channel_timeout;
    int* flag;
    bool m_isSSL;
    bool m_is_allowing_untrust;
    ustring m_ssl_hostname;

private:
    bool Aborted() const { return flag != nullptr && *flag != 0; }
};
