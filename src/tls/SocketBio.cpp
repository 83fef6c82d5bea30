#include "tls/SocketBio.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

namespace tls {

namespace {

int Descriptor(BIO* pBio) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(pBio)));
}

bool ShouldRetry(int nErrno) {
    return nErrno == EAGAIN || nErrno == EWOULDBLOCK || nErrno == EINTR;
}

int Write(BIO* pBio, const char* pData, int nLength) {
    BIO_clear_retry_flags(pBio);
    const ssize_t n =
        ::send(Descriptor(pBio), pData, static_cast<std::size_t>(nLength), MSG_NOSIGNAL);
    if (n < 0 && ShouldRetry(errno)) {
        BIO_set_retry_write(pBio);
    }
    return static_cast<int>(n);
}

int Read(BIO* pBio, char* pBuffer, int nLength) {
    BIO_clear_retry_flags(pBio);
    const ssize_t n = ::recv(Descriptor(pBio), pBuffer, static_cast<std::size_t>(nLength), 0);
    if (n == 0) {
        // The end of the stream, which OpenSSL asks about (BIO_eof) to tell a peer that
        // closed without close_notify from a failure.
        BIO_set_flags(pBio, BIO_FLAGS_IN_EOF);
    } else if (n < 0 && ShouldRetry(errno)) {
        BIO_set_retry_read(pBio);
    }
    return static_cast<int>(n);
}

long Control(BIO* pBio, int nCommand, long /*nNumber*/, void* pPointer) {
    switch (nCommand) {
        case BIO_CTRL_FLUSH:
            return 1;  // nothing is buffered here
        case BIO_CTRL_EOF:
            return BIO_test_flags(pBio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
        case BIO_C_GET_FD:
            if (pPointer != nullptr) {
                *static_cast<int*>(pPointer) = Descriptor(pBio);
            }
            return Descriptor(pBio);
        default:
            return 0;
    }
}

int Create(BIO* pBio) {
    BIO_set_init(pBio, 1);
    return 1;
}

const BIO_METHOD* Method() {
    // Made once and kept for the life of the process.
    static BIO_METHOD* s_pMethod = [] {
        BIO_METHOD* pMethod =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tapvane socket");
        if (pMethod != nullptr) {
            BIO_meth_set_write(pMethod, &Write);
            BIO_meth_set_read(pMethod, &Read);
            BIO_meth_set_ctrl(pMethod, &Control);
            BIO_meth_set_create(pMethod, &Create);
        }
        return pMethod;
    }();
    return s_pMethod;
}

}  // namespace

bool SetSocketBio(SSL* pSsl, int fd) {
    const BIO_METHOD* pMethod = Method();
    BIO* pBio = pMethod != nullptr ? BIO_new(pMethod) : nullptr;
    if (pBio == nullptr) {
        return false;
    }
    BIO_set_data(pBio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    // One BIO both ways: SSL_set_bio takes over the one reference for both.
    SSL_set_bio(pSsl, pBio, pBio);
    return true;
}

}  // namespace tls
