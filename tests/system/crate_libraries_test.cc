// The stand-in crate libraries against the simulated crate server over real sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/qbxapi.h"
#include "platform/qbxavrapi.h"
#include "process.h"
#include "sim_server.h"
#include "wire/wire.h"

namespace {

const char CONFIG[] = R"({"crates": [
    {"serial": "CR-A", "slots": {"1": {"kind": "QBX71"}, "2": "unidentified", "5": {"kind": "QBX62"}}},
    {"serial": "CR-B", "slots": {"16": {"mid": "0x4848"}}}]})";

class CrateLibraries : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(start_sim(&server_, CONFIG));
        setenv("QBXD_ENDPOINT", ("127.0.0.1:" + std::to_string(server_.port)).c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QBXD_ENDPOINT");
        discard_sim(&server_);
    }

    int open_module(AvrHandle *handle, const char *crate, int slot) {
        QBXAVR_Init(handle);
        return QBXAVR_Open(handle, 0x7F000001, 11111, crate, slot);
    }

    SimServer server_;
};

TEST_F(CrateLibraries, CrateListAndModuleIds) {
    CrateHandle service;
    QBX_Init(&service);
    ASSERT_EQ(0, QBX_OpenSvcControl(&service, 0x7F000001, 11111));
    EXPECT_EQ(0x7F000001u, service.server_addr);
    EXPECT_EQ(server_.port, service.server_port);  // the server reached
    char list[16][16];
    memset(list, 'x', sizeof list);
    ASSERT_EQ(0, QBX_GetCrates(&service, list));
    EXPECT_STREQ("CR-A", list[0]);
    EXPECT_STREQ("CR-B", list[1]);
    for (int i = 2; i < 16; ++i) EXPECT_EQ(0, list[i][0]);

    CrateHandle crate;
    QBX_Init(&crate);
    EXPECT_EQ(wire::E_NO_CRATE,
              QBX_OpenCrate(&crate, service.server_addr, service.server_port, 0, "CR-C"));
    QBX_Init(&crate);
    ASSERT_EQ(0, QBX_OpenCrate(&crate, service.server_addr, service.server_port, 0, "CR-B"));
    EXPECT_STREQ("CR-B", crate.crate_serial);
    uint16_t mids[16];
    ASSERT_EQ(0, QBX_GetCrateModules(&crate, mids));
    EXPECT_EQ(0x4848, mids[15]);
    EXPECT_EQ(0, mids[0]);
    EXPECT_EQ(0, QBX_Close(&crate));
    EXPECT_EQ(0, QBX_Close(&service));
    EXPECT_EQ(wire::E_NOT_OPEN, QBX_Close(&service));
}

TEST_F(CrateLibraries, ModuleOpenErrors) {
    AvrHandle first, second;
    struct Case {
        const char *crate;
        int slot;
        int rc;
    } cases[] = {
        {"", 1, wire::E_NO_SERIAL},     {"CR-X", 1, wire::E_NO_CRATE},
        {"CR-A", 3, wire::E_NO_MODULE}, {"CR-A", 2, wire::E_NO_MODULE},
        {"CR-A", 0, wire::E_NO_MODULE}, {"CR-A", 17, wire::E_NO_MODULE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.crate) + "/" + std::to_string(c.slot));
        EXPECT_EQ(c.rc, open_module(&first, c.crate, c.slot));
        EXPECT_EQ(wire::E_NOT_OPEN, QBXAVR_Close(&first));
    }
    ASSERT_EQ(0, open_module(&first, "CR-A", 1));
    EXPECT_STREQ("CR-A", first.crate.crate_serial);
    EXPECT_EQ(1, first.crate.channel);
    EXPECT_EQ(wire::E_BUSY, open_module(&second, "CR-A", 1));
    EXPECT_EQ(0, QBXAVR_Close(&first));
    EXPECT_EQ(0, open_module(&second, "CR-A", 1));  // free again once closed
    EXPECT_EQ(0, QBXAVR_Close(&second));
    EXPECT_STREQ("Unknown error", QBXAVR_GetErrorString(4711));
    EXPECT_STREQ("Module is busy", QBX_GetErrorString(wire::E_BUSY));
}

struct Progress {
    int calls = 0;
    intptr_t done = 0, total = 0, argument = 0;
};
Progress progress;
int record_progress(intptr_t done, intptr_t total, intptr_t argument, intptr_t) {
    ++progress.calls;
    progress = {progress.calls, done, total, argument};
    return 0;
}

TEST_F(CrateLibraries, FlashBehavesLikeNorFlash) {
    AvrHandle module;
    ASSERT_EQ(0, open_module(&module, "CR-A", 1));
    std::vector<unsigned char> image(131072);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 13 + 1);
    ASSERT_EQ(0, QBXAVR_ChipErase(&module));
    progress = {};
    ASSERT_EQ(0, QBXAVR_WriteProgrammMemoryCb(&module, image.data(), 65536, 0, record_progress,
                                              &progress));
    EXPECT_EQ(64, progress.calls);
    EXPECT_EQ(65536, progress.done);
    EXPECT_EQ(65536, progress.total);
    EXPECT_EQ(reinterpret_cast<intptr_t>(&progress), progress.argument);
    std::vector<unsigned char> back(image.size());
    ASSERT_EQ(0, QBXAVR_ReadProgrammMemory(&module, back.data(), 65536, 0));
    EXPECT_EQ(image, back);

    // A shorter last block gets its own callback; a write only clears bits.
    progress = {};
    const std::vector<unsigned char> ones(2 * 1500, 0xF0);
    ASSERT_EQ(
        0, QBXAVR_WriteProgrammMemoryCb(&module, ones.data(), 1500, 100, record_progress, nullptr));
    EXPECT_EQ(2, progress.calls);
    unsigned char word[2];
    ASSERT_EQ(0, QBXAVR_ReadProgrammMemory(&module, word, 1, 100));
    EXPECT_EQ(image[200] & 0xF0, word[0]);

    EXPECT_EQ(wire::E_RANGE, QBXAVR_ReadProgrammMemory(&module, back.data(), 2, 65535));
    EXPECT_EQ(wire::E_RANGE,
              QBXAVR_WriteProgrammMemoryCb(&module, image.data(), 1, 65536, nullptr, nullptr));
    EXPECT_EQ(0, QBXAVR_Close(&module));
}

TEST_F(CrateLibraries, FlashPersistsAcrossARestart) {
    AvrHandle module;
    ASSERT_EQ(0, open_module(&module, "CR-A", 5));
    const std::vector<unsigned char> data(4096, 0x3C);
    ASSERT_EQ(0, QBXAVR_ChipErase(&module));
    ASSERT_EQ(0, QBXAVR_WriteProgrammMemoryCb(&module, data.data(), 2048, 0, nullptr, nullptr));
    ASSERT_EQ(0, QBXAVR_Close(&module));

    EXPECT_EQ(0, stop_sim(&server_));  // a clean stop on SIGTERM
    ASSERT_TRUE(start_sim(&server_, CONFIG));
    setenv("QBXD_ENDPOINT", ("127.0.0.1:" + std::to_string(server_.port)).c_str(), 1);
    ASSERT_EQ(0, open_module(&module, "CR-A", 5));
    std::vector<unsigned char> back(8192);
    ASSERT_EQ(0, QBXAVR_ReadProgrammMemory(&module, back.data(), 4096, 0));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(0xFF, back[4096]);
    EXPECT_EQ(0, QBXAVR_Close(&module));
}

TEST_F(CrateLibraries, NoServerIsCannotConnect) {
    stop_sim(&server_);
    CrateHandle service;
    QBX_Init(&service);
    EXPECT_EQ(wire::E_CONNECT, QBX_OpenSvcControl(&service, 0x7F000001, 11111));
    AvrHandle module;
    EXPECT_EQ(wire::E_CONNECT, open_module(&module, "CR-A", 1));
}

// A raw client that sends frames the libraries never would.
int raw_connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.sin_port = htons(static_cast<uint16_t>(port));
    const timeval timeout = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0 ? fd : -1;
}

int raw_status(int fd, uint16_t op, uint32_t length,
               const std::vector<unsigned char> &payload = {}) {
    unsigned char header[wire::HEADER_SIZE];
    wire::encode_header({op, 0, length}, header);
    if (wire::send_parts(fd, header, sizeof header, payload.data(), payload.size(), nullptr, 0) !=
        0)
        return -1;
    wire::Header reply;
    if (wire::recv_exact(fd, header, sizeof header) != 0 ||
        wire::decode_header(header, &reply) != 0)
        return -1;
    std::vector<unsigned char> ignored(reply.length);
    wire::recv_exact(fd, ignored.data(), ignored.size());
    return reply.status;
}

TEST_F(CrateLibraries, ServerSurvivesBadFrames) {
    const int fd = raw_connect(server_.port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(wire::E_PROTOCOL, raw_status(fd, 77, 0));  // unknown operation
    EXPECT_EQ(wire::E_PROTOCOL,
              raw_status(fd, wire::OP_CRATE_OPEN, 3, {'C', 'R', '-'}));            // short field
    EXPECT_EQ(wire::E_WRONG_STATE, raw_status(fd, wire::OP_AVR_ERASE, 0));         // nothing open
    EXPECT_EQ(wire::E_PROTOCOL, raw_status(fd, wire::OP_AVR_WRITE, 0xFFFFFFF0u));  // oversized
    char byte;
    EXPECT_EQ(0, recv(fd, &byte, 1, 0));  // and the connection is closed
    close(fd);

    // A module connection with a half-sent frame does not block the others, and its end
    // frees the module.
    const int half = raw_connect(server_.port);
    std::vector<unsigned char> open_request(18, 0);
    memcpy(open_request.data(), "CR-A", 4);
    open_request[16] = 1;
    EXPECT_EQ(0, raw_status(half, wire::OP_AVR_OPEN, 18, open_request));
    unsigned char partial[4] = {wire::OP_AVR_READ, 0, 0, 0};
    send(half, partial, sizeof partial, MSG_NOSIGNAL);

    CrateHandle service;
    QBX_Init(&service);
    EXPECT_EQ(0, QBX_OpenSvcControl(&service, 0x7F000001, 11111));
    QBX_Close(&service);
    AvrHandle module;
    EXPECT_EQ(wire::E_BUSY, open_module(&module, "CR-A", 1));
    close(half);
    for (int attempt = 0; attempt < 100 && open_module(&module, "CR-A", 1) == wire::E_BUSY;
         ++attempt)
        usleep(10000);
    EXPECT_EQ(0, QBXAVR_Close(&module));
}

}  // namespace
