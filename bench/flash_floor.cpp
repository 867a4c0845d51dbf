// bench_flash_floor REPORT CONTROLLER_ID IMAGE
// Reads the image, then sends to the controller exactly the ioctls the emulator's report recorded for
// it (PCI information requests and CISS passthroughs with the same CDBs, directions and lengths),
// each with its own open and close, as the tool does. Write data comes from the image at the chunk
// position the CDB names. Nothing else is done: this is the least any tool could spend on the run.
#include <fcntl.h>
#include <linux/cciss_ioctl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

std::vector<unsigned char> hexBytes(const std::string& hex)
{
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

template <typename Ioctl>
void fill(Ioctl& ioc, const std::vector<unsigned char>& cdb, const std::string& dir, std::uint32_t length, void* data)
{
    std::memset(&ioc, 0, sizeof(ioc));
    ioc.Request.CDBLen = static_cast<BYTE>(cdb.size());
    ioc.Request.Type.Type = TYPE_CMD;
    ioc.Request.Type.Attribute = ATTR_SIMPLE;
    ioc.Request.Type.Direction = length == 0      ? XFER_NONE
                                 : dir == "write" ? XFER_WRITE
                                 : dir == "read"  ? XFER_READ
                                                  : XFER_NONE;
    bool flash = cdb.size() > 6 && cdb[6] == 0xF7;
    ioc.Request.Timeout = flash ? 60 : 30;
    std::memcpy(ioc.Request.CDB, cdb.data(), cdb.size());
    ioc.buf = static_cast<BYTE*>(data);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_flash_floor REPORT CONTROLLER_ID IMAGE\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    nlohmann::json report = nlohmann::json::parse(in);
    const nlohmann::json* commands = nullptr;
    for (const auto& c : report.at("controllers"))
        if (c.at("id") == argv[2]) commands = &c.at("commands");
    if (commands == nullptr) {
        std::fprintf(stderr, "no controller %s in the report\n", argv[2]);
        return 2;
    }

    std::vector<unsigned char> image;
    {
        std::ifstream imageFile(argv[3], std::ios::binary | std::ios::ate);
        image.resize(static_cast<std::size_t>(imageFile.tellg()));
        imageFile.seekg(0);
        imageFile.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    std::vector<unsigned char> scratch(1 << 17);

    int failures = 0;
    for (const auto& cmd : *commands) {
        const std::string kind = cmd.at("ioctl");
        const std::string node = cmd.at("node");
        int fd = open(node.c_str(), O_RDWR);
        if (fd < 0) {
            ++failures;
            continue;
        }
        int rc = 0;
        if (kind == "pci_info") {
            cciss_pci_info_struct info{};
            rc = ioctl(fd, CCISS_GETPCIINFO, &info);
        } else if (kind == "passthru" || kind == "big_passthru") {
            std::vector<unsigned char> cdb = hexBytes(cmd.at("cdb"));
            std::string dir = cmd.at("direction");
            std::uint32_t length = cmd.at("data_length");
            if (length > scratch.size()) scratch.resize(length);
            void* data = scratch.data();
            if (dir == "write" && cdb.size() > 6 && cdb[6] == 0xD2) {
                std::size_t chunk = (static_cast<std::size_t>(cdb[3]) << 8) | cdb[5];
                std::size_t offset = (chunk - 1) * 16384;
                if (offset + length <= image.size()) data = image.data() + offset;
            }
            if (kind == "passthru") {
                IOCTL_Command_struct ioc;
                fill(ioc, cdb, dir, length, data);
                ioc.buf_size = static_cast<WORD>(length);
                rc = ioctl(fd, CCISS_PASSTHRU, &ioc);
            } else {
                BIG_IOCTL_Command_struct ioc;
                fill(ioc, cdb, dir, length, data);
                ioc.buf_size = length;
                ioc.malloc_size = ((length / 31) + 1023) / 1024 * 1024;
                rc = ioctl(fd, CCISS_BIG_PASSTHRU, &ioc);
            }
        } else {
            std::fprintf(stderr, "bench_flash_floor: cannot replay a %s request\n", kind.c_str());
            rc = -1;
        }
        if (rc != 0) ++failures;
        close(fd);
    }
    return failures == 0 ? 0 : 1;
}
