#include "wire/wire.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace wire {

const char *error_text(int code) {
    switch (code) {
    case E_OK:
        return "Success";
    case E_CONNECT:
        return "Cannot connect to the crate server";
    case E_CONNECTION_LOST:
        return "Connection to the crate server lost";
    case E_TIMEOUT:
        return "Crate server timed out";
    case E_PROTOCOL:
        return "Protocol error";
    case E_NO_CRATE:
        return "No such crate";
    case E_NO_MODULE:
        return "Slot is empty or holds no such module";
    case E_BUSY:
        return "Module is busy";
    case E_RANGE:
        return "Address out of range";
    case E_NO_SERIAL:
        return "Crate serial is empty";
    case E_NOT_OPEN:
        return "Handle is not open";
    case E_BAD_ARGUMENT:
        return "Invalid argument";
    case E_DEVICE:
        return "Module device fault";
    case E_WRONG_STATE:
        return "Request not valid on this connection";
    default:
        return "Unknown error";
    }
}

const char *op_name(uint16_t op) {
    switch (op) {
    case OP_SVC_OPEN:
        return "svc_open";
    case OP_GET_CRATES:
        return "get_crates";
    case OP_CRATE_OPEN:
        return "crate_open";
    case OP_CRATE_MODULES:
        return "crate_modules";
    case OP_AVR_OPEN:
        return "avr_open";
    case OP_AVR_READ:
        return "avr_read";
    case OP_AVR_ERASE:
        return "avr_erase";
    case OP_AVR_WRITE:
        return "avr_write";
    case OP_CLOSE:
        return "close";
    default:
        return "unknown";
    }
}

void put_u16(unsigned char *at, uint16_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void put_u32(unsigned char *at, uint32_t value) {
    put_u16(at, static_cast<uint16_t>(value));
    put_u16(at + 2, static_cast<uint16_t>(value >> 16));
}

uint16_t get_u16(const unsigned char *at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t get_u32(const unsigned char *at) {
    return get_u16(at) | static_cast<uint32_t>(get_u16(at + 2)) << 16;
}

void encode_header(const Header &header, unsigned char out[HEADER_SIZE]) {
    put_u16(out, header.op);
    put_u16(out + 2, header.status);
    put_u32(out + 4, header.length);
}

int decode_header(const unsigned char in[HEADER_SIZE], Header *header) {
    header->op = get_u16(in);
    header->status = get_u16(in + 2);
    header->length = get_u32(in + 4);
    return header->length > MAX_PAYLOAD ? E_PROTOCOL : E_OK;
}

static int io_error() {
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? E_TIMEOUT : E_CONNECTION_LOST;
}

int send_parts(int fd, const void *part1, size_t length1, const void *part2, size_t length2,
               const void *part3, size_t length3) {
    iovec parts[3] = {{const_cast<void *>(part1), length1},
                      {const_cast<void *>(part2), length2},
                      {const_cast<void *>(part3), length3}};
    iovec *next = parts;
    int count = 3;
    while (count > 0) {
        if (next->iov_len == 0) {
            ++next;
            --count;
            continue;
        }
        msghdr message = {};
        message.msg_iov = next;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return io_error();
        }
        size_t left = static_cast<size_t>(sent);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char *>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    return E_OK;
}

int recv_exact(int fd, void *buffer, size_t length) {
    char *at = static_cast<char *>(buffer);
    while (length > 0) {
        const ssize_t got = recv(fd, at, length, 0);
        if (got == 0) return E_CONNECTION_LOST;
        if (got < 0) {
            if (errno == EINTR) continue;
            return io_error();
        }
        at += got;
        length -= static_cast<size_t>(got);
    }
    return E_OK;
}

}  // namespace wire
