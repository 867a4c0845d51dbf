// Descriptor layout, property lookups, decoders, lists and iterators.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

#include "SyscoreTestSupport.h"

namespace {
const char kPath[] = "/sys/devices/pci0000:00/0000:00:03.0/0000:03:00.0";
const char kNode[] = "/dev/sg2";

std::vector<uint8_t> Bytes(const SC_DeviceDescriptor* d)
{
    return std::vector<uint8_t>(d, d + SC_GetDeviceDescriptorSize(d));
}
}  // namespace

TEST(Descriptor, ControllerLayoutIsByteExact)
{
    uint8_t address[16] = {1, 2, 0, 1};
    OwnedDescriptor d(SC_BuildControllerDescriptor(kPath, kNode, SC_PROTOCOL_SIS, address, 0x00040102));
    ASSERT_NE(d.d, nullptr);
    size_t pathLen = std::strlen(kPath), nodeLen = std::strlen(kNode);
    ASSERT_EQ(SC_GetDeviceDescriptorSize(d.d), 56 + pathLen + nodeLen);

    std::vector<uint8_t> expected;
    auto u16 = [&](uint16_t v) {
        expected.push_back((uint8_t)v);
        expected.push_back((uint8_t)(v >> 8));
    };
    auto entry = [&](uint16_t tag, const void* value, uint16_t n) {
        u16(tag);
        u16(n);
        expected.insert(expected.end(), (const uint8_t*)value, (const uint8_t*)value + n);
    };
    u16((uint16_t)(56 + pathLen + nodeLen));
    entry(0, kPath, (uint16_t)pathLen);
    entry(1, kNode, (uint16_t)nodeLen);
    uint8_t proto[2] = {1, 0}, type[2] = {1, 0}, index[2] = {0xFF, 0xFF}, loc[4] = {0x02, 0x01, 0x04, 0x00};
    entry(2, proto, 2);
    entry(3, address, 16);
    entry(5, type, 2);
    entry(6, index, 2);
    entry(0x41, loc, 4);
    EXPECT_EQ(Bytes(d.d), expected);
}

TEST(Descriptor, LookupResults)
{
    OwnedDescriptor d(MakeController(kNode, SC_PROTOCOL_CISS));
    ASSERT_NE(d.d, nullptr);
    struct Case {
        uint8_t tag;
        uint32_t bufferSize;
        uint8_t result;
        uint16_t size;
    } cases[] = {
        {SC_PROPERTY_SYSTEM_PATH, 200, 0, (uint16_t)std::strlen(kPath)},
        {SC_PROPERTY_SYSTEM_PATH, (uint32_t)std::strlen(kPath), 0, (uint16_t)std::strlen(kPath)},
        {SC_PROPERTY_SYSTEM_PATH, (uint32_t)std::strlen(kPath) - 1, 2, (uint16_t)std::strlen(kPath)},
        {SC_PROPERTY_PCI_LOCATION, 4, 0, 4},
        {SC_PROPERTY_PCI_LOCATION, 3, 2, 4},
        {SC_PROPERTY_PLATFORM_ID, 8, 1, 0},
        {SC_PROPERTY_SLOT_TYPE, 4, 1, 0},
        {SC_PROPERTY_SLOT_NUMBER, 4, 1, 0},
        {SC_PROPERTY_CSMI_ADDRESS, 64, 1, 0},
        {4, 16, 1, 0},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> buffer(c.bufferSize + 8, 0xAA);
        EXPECT_EQ(SC_GetDeviceSystemProperty(d.d, c.tag, buffer.data(), c.bufferSize), c.result) << (int)c.tag;
        EXPECT_EQ(SC_GetDeviceSystemPropertySize(d.d, c.tag), c.size) << (int)c.tag;
        if (c.result != 0) {
            // Failed lookups leave an all-zero buffer, and nothing beyond it is touched.
            for (uint32_t i = 0; i < c.bufferSize; ++i) ASSERT_EQ(buffer[i], 0) << (int)c.tag << " byte " << i;
        }
        for (uint32_t i = c.bufferSize; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xAA) << (int)c.tag;
    }
    char path[200];
    ASSERT_EQ(SC_GetDeviceSystemProperty(d.d, SC_PROPERTY_SYSTEM_PATH, path, sizeof(path)), 0);
    EXPECT_STREQ(path, kPath);
    EXPECT_EQ(NumberProperty(d.d, SC_PROPERTY_PCI_LOCATION), 0x030000u);
}

TEST(Descriptor, FirstEntryWinsAndEightBitTagsMatchSixteenBitStoredTags)
{
    uint8_t a[2] = {0xFF, 0xFF}, b[2] = {2, 0}, c[3] = {9, 9, 9};
    SC_DescriptorProperty props[] = {{SC_PROPERTY_PROTOCOL, 2, a}, {SC_PROPERTY_PROTOCOL, 2, b}, {0x0107, 3, c}};
    OwnedDescriptor d(SC_BuildDeviceDescriptor(props, 3));
    ASSERT_NE(d.d, nullptr);
    uint8_t out[2];
    EXPECT_EQ(SC_GetDeviceSystemProperty(d.d, SC_PROPERTY_PROTOCOL, out, 2), 0);
    EXPECT_EQ(SC_GetLE16(out), 0xFFFF);
    // The transport's protocol lookup skips the 0xFFFF placeholder.
    EXPECT_EQ(_SC_GetDeviceProtocol(d.d), SC_PROTOCOL_PQI);
    // A stored tag of 0x107 is not tag 7.
    EXPECT_EQ(SC_GetDeviceSystemPropertySize(d.d, 7), 0);
    EXPECT_EQ(_SC_GetDeviceProtocol(nullptr), 0xFFFF);
}

TEST(Descriptor, DamagedDescriptorIsNeverReadPastItsSize)
{
    // Entry claims 40 value bytes but the descriptor ends after 6.
    uint8_t raw[] = {12, 0, 1, 0, 40, 0, 'a', 'b', 'c', 'd', 'e', 'f'};
    std::vector<uint8_t> heap(raw, raw + sizeof(raw));
    char buffer[64];
    EXPECT_EQ(SC_GetDeviceSystemProperty(heap.data(), SC_PROPERTY_DEVICE_NODE, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(__DecodeDeviceNodeName(heap.data(), buffer, sizeof(buffer)), 0);
    // A size field smaller than one entry header holds no entries.
    uint8_t tiny[] = {3, 0, 1};
    EXPECT_EQ(SC_GetDeviceSystemPropertySize(tiny, SC_PROPERTY_DEVICE_NODE), 0);
    EXPECT_EQ(SC_GetDeviceSystemProperty(nullptr, 0, buffer, sizeof(buffer)), 1);
}

TEST(Decoders, ProtocolInfoInEitherOrder)
{
    uint8_t addr[16];
    for (int i = 0; i < 16; ++i) addr[i] = (uint8_t)(i + 1);
    uint8_t proto[2] = {1, 0};
    SC_DescriptorProperty forward[] = {{2, 2, proto}, {3, 16, addr}};
    SC_DescriptorProperty backward[] = {{3, 16, addr}, {2, 2, proto}};
    for (auto* props : {forward, backward}) {
        OwnedDescriptor d(SC_BuildDeviceDescriptor(props, 2));
        uint16_t protocol = 0xAAAA;
        uint8_t out[20];
        std::memset(out, 0xEE, sizeof(out));
        ASSERT_EQ(__DecodeDeviceProtocolInfo(d.d, &protocol, out, 20), 1);
        EXPECT_EQ(protocol, 1);
        EXPECT_EQ(0, std::memcmp(out, addr, 16));
        EXPECT_EQ(out[16], 0);  // zero-filled beyond the value
        uint8_t small[4];
        ASSERT_EQ(__DecodeDeviceProtocolInfo(d.d, &protocol, small, 4), 1);
        EXPECT_EQ(0, std::memcmp(small, addr, 4));
    }
}

TEST(Decoders, MissingPiecesFailButKeepWhatWasWritten)
{
    uint8_t proto[2] = {2, 0};
    SC_DescriptorProperty onlyProtocol[] = {{2, 2, proto}};
    OwnedDescriptor d(SC_BuildDeviceDescriptor(onlyProtocol, 1));
    uint16_t protocol = 0xAAAA;
    uint8_t out[16];
    EXPECT_EQ(__DecodeDeviceProtocolInfo(d.d, &protocol, out, 16), 0);
    EXPECT_EQ(protocol, 2);
    char node[16];
    std::memset(node, 'x', sizeof(node));
    EXPECT_EQ(__DecodeDeviceNodeName(d.d, node, sizeof(node)), 0);
    EXPECT_EQ(node[0], 0);
}

TEST(Decoders, NodeNameIsAlwaysTerminated)
{
    OwnedDescriptor d(MakeController("/dev/sg12345", SC_PROTOCOL_CISS));
    char small[8];
    ASSERT_EQ(__DecodeDeviceNodeName(d.d, small, sizeof(small)), 1);
    EXPECT_STREQ(small, "/dev/sg");
    char full[4096];
    ASSERT_EQ(__DecodeDeviceNodeName(d.d, full, sizeof(full)), 1);
    EXPECT_STREQ(full, "/dev/sg12345");
}

TEST(Decoders, OpenDeviceNodeReportsErrno)
{
    int fd = -1;
    EXPECT_EQ(__OpenDeviceNode("/nonexistent-dir/node", &fd, 0), ENOENT);
    EXPECT_EQ(fd, -1);
    ASSERT_EQ(__OpenDeviceNode("/dev/null", &fd, 0), 0);
    EXPECT_GE(fd, 0);
    __CloseDeviceNode(fd);
    ASSERT_EQ(__OpenDeviceNode("/dev/null", &fd, 1), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDONLY | O_NONBLOCK);
    __CloseDeviceNode(fd);
}

TEST(DescriptorList, IteratorWalksInAppendOrder)
{
    SC_DescriptorList* list = scCreateEmptyDescriptorList();
    ASSERT_NE(list, nullptr);
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(SC_IsDeviceListIteratorEnd(it), 1);  // empty list: at its end at once
    EXPECT_EQ(SC_GetDeviceListItemAt(it), nullptr);
    SC_MoveDeviceListIteratorNext(it);
    SC_DestroyDeviceListIterator(it);

    const char* nodes[] = {"/dev/sg1", "/dev/sg7", "/dev/aac0"};
    for (const char* n : nodes) ASSERT_EQ(scAppendDescriptor(list, MakeController(n, SC_PROTOCOL_CISS)), 1);
    it = SC_CreateDeviceListIterator(list);
    std::vector<std::string> seen;
    for (; !SC_IsDeviceListIteratorEnd(it); SC_MoveDeviceListIteratorNext(it)) {
        char node[64];
        ASSERT_EQ(SC_GetDeviceSystemProperty(SC_GetDeviceListItemAt(it), SC_PROPERTY_DEVICE_NODE, node, 63), 0);
        seen.push_back(node);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"/dev/sg1", "/dev/sg7", "/dev/aac0"}));
    SC_MoveDeviceListIteratorNext(it);  // stays at the end
    EXPECT_EQ(SC_IsDeviceListIteratorEnd(it), 1);
    SC_DestroyDeviceListIterator(it);
    SC_DestroyDeviceDescriptorList(list);

    EXPECT_EQ(SC_CreateDeviceListIterator(nullptr), nullptr);
    EXPECT_EQ(SC_IsDeviceListIteratorEnd(nullptr), 1);
    SC_DestroyDeviceListIterator(nullptr);
    SC_DestroyDeviceDescriptorList(nullptr);
}

TEST(DescriptorList, NodeWithNullDescriptorEndsTheWalk)
{
    SC_DescriptorList* list = scCreateEmptyDescriptorList();
    ASSERT_EQ(scAppendDescriptor(list, nullptr), 1);
    ASSERT_EQ(scAppendDescriptor(list, MakeController("/dev/sg1", SC_PROTOCOL_CISS)), 1);
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
    EXPECT_EQ(SC_IsDeviceListIteratorEnd(it), 1);
    SC_DestroyDeviceListIterator(it);
    SC_DestroyDeviceDescriptorList(list);
}

TEST(DescriptorList, SingleLogicalDriveRewritesAddressTypeAndIndex)
{
    uint8_t address[16] = {4, 5, 6, 1};
    OwnedDescriptor ctrl(SC_BuildControllerDescriptor(kPath, "/dev/aac0", SC_PROTOCOL_SIS, address, 7));
    OwnedDescriptor ld(SC_CreateSingleLogicalDeviceDescriptor(ctrl.d, 0x0203));
    ASSERT_NE(ld.d, nullptr);
    ASSERT_EQ(SC_GetDeviceDescriptorSize(ld.d), SC_GetDeviceDescriptorSize(ctrl.d));
    const Found f = Describe(ld.d);
    EXPECT_EQ(f.address, (std::vector<uint8_t>{4, 5, 6, 5, 0x03, 0x02, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(f.type, SC_DEVICE_TYPE_LOGICAL_DRIVE);
    EXPECT_EQ(f.index, 0x0203);
    EXPECT_EQ(f.node, "/dev/aac0");  // everything else is the controller's
    // A descriptor without the entries to rewrite gives nothing.
    uint8_t proto[2] = {0, 0};
    SC_DescriptorProperty bare[] = {{2, 2, proto}};
    OwnedDescriptor plain(SC_BuildDeviceDescriptor(bare, 1));
    EXPECT_EQ(SC_CreateSingleLogicalDeviceDescriptor(plain.d, 1), nullptr);
}
