// Controller firmware flash: the image goes into the controller's collect buffer in 16 KiB chunks,
// then one command programs the collected image.
#include <cstring>

#include "storc_internal.h"

namespace {

// CISS command status values a flash command may come back with and still count as accepted.
constexpr uint16_t kCissCommandSuccess = 0x0000;
constexpr uint16_t kCissDataUnderrun = 0x0002;

// Sends one flash-sequence command. Result: 1 when the controller accepted it, else 0.
uint8_t SendFlashCommand(const SA_CDA* cda, _BMICRequest* request)
{
    const uint8_t rc = SC_ExecuteBMICCommand(cda->device_descriptor, request);
    return saFlashCommandAccepted(rc, request);
}

}  // namespace

uint32_t saFlashChunkCount(uint32_t image_size)
{
    return static_cast<uint32_t>((static_cast<uint64_t>(image_size) + SA_FLASH_CHUNK_SIZE - 1) / SA_FLASH_CHUNK_SIZE);
}

uint32_t saFlashChunkPosition(uint16_t chunk_count, uint16_t chunk_number)
{
    return (static_cast<uint32_t>(chunk_count >> 8) << 24) | (static_cast<uint32_t>(chunk_number >> 8) << 16) |
           (static_cast<uint32_t>(chunk_count & 0xFF) << 8) | static_cast<uint32_t>(chunk_number & 0xFF);
}

int saFlashChunkProgress(uint32_t chunk_number, uint32_t chunk_count)
{
    return static_cast<int>((100ull * chunk_number) / (static_cast<uint64_t>(chunk_count) + 1));
}

void saBuildFreeCollectBufferRequest(_BMICRequest* request)
{
    std::memset(request, 0, sizeof(*request));
    request->direction = SC_TRANSFER_NONE;
    request->command = BMIC_FREE_COLLECT_BUFFER;
}

void saBuildWriteCollectBufferRequest(_BMICRequest* request, void* chunk, uint32_t length, uint16_t chunk_count,
                                      uint16_t chunk_number)
{
    std::memset(request, 0, sizeof(*request));
    request->direction = SC_TRANSFER_WRITE;
    request->command = BMIC_WRITE_COLLECT_BUFFER;
    request->address = saFlashChunkPosition(chunk_count, chunk_number);
    request->data = chunk;
    request->dataLength = length;
}

void saBuildFlashCollectedImageRequest(_BMICRequest* request)
{
    std::memset(request, 0, sizeof(*request));
    request->direction = SC_TRANSFER_NONE;
    request->timeout = SA_FLASH_COMMAND_TIMEOUT;
    request->command = BMIC_FLASH_COLLECTED_IMAGE;
}

uint8_t saFlashCommandAccepted(uint8_t transport_result, const _BMICRequest* request)
{
    if (transport_result != 0 || request->scsiStatus != 0) return 0;
    return request->commandStatus == kCissCommandSuccess || request->commandStatus == kCissDataUnderrun;
}

void __SA_FreeCollectBuffer(SA_CDA* cda)
{
    if (cda == nullptr) return;
    _BMICRequest request;
    saBuildFreeCollectBufferRequest(&request);
    SC_ExecuteBMICCommand(cda->device_descriptor, &request);
}

uint16_t SA_CanFlashController(SA_CDA* cda, uint32_t image_size)
{
    uint16_t result = 0;
    // The chunk count travels in 16 bits: a larger image cannot be sent.
    if (image_size == 0 || saFlashChunkCount(image_size) > SA_FLASH_MAX_CHUNKS) result |= SA_FLASH_NO_IMAGE;
    if (cda == nullptr || cda->device_descriptor == nullptr || SC_CanExecuteBMICCommand(cda->device_descriptor) != 1)
        result |= SA_FLASH_NO_BMIC;
    if (cda != nullptr && (SA_GetControllerEncryptionStatus(cda) & SA_ENCRYPTION_STATUS_FLASH_BLOCKED))
        result |= SA_FLASH_BLOCKED_BY_ENCRYPTION;
    return result;
}

uint8_t SA_FlashController(SA_CDA* cda, const void* image, uint32_t image_size, SA_FlashProgressCallback progress)
{
    if (SA_CanFlashController(cda, image_size) != 0 || image == nullptr) return 0;
    const uint32_t chunk_count = saFlashChunkCount(image_size);
    auto* chunk = static_cast<uint8_t*>(SA_MALLOC(SA_FLASH_CHUNK_SIZE));
    if (chunk == nullptr) return 0;

    __SA_FreeCollectBuffer(cda);

    const auto* source = static_cast<const uint8_t*>(image);
    uint32_t remaining = image_size;
    bool delivered = true;
    for (uint32_t i = 1; i <= chunk_count && delivered; ++i) {
        const uint32_t length = remaining < SA_FLASH_CHUNK_SIZE ? remaining : SA_FLASH_CHUNK_SIZE;
        std::memcpy(chunk, source, length);
        std::memset(chunk + length, 0, SA_FLASH_CHUNK_SIZE - length);

        _BMICRequest request;
        saBuildWriteCollectBufferRequest(&request, chunk, length, static_cast<uint16_t>(chunk_count),
                                         static_cast<uint16_t>(i));
        delivered = SendFlashCommand(cda, &request) != 0;
        if (delivered && progress != nullptr) progress(saFlashChunkProgress(i, chunk_count));
        source += length;
        remaining -= length;
    }
    SA_FREE(chunk);

    uint8_t result = 0;
    if (delivered) {
        _BMICRequest request;
        saBuildFlashCollectedImageRequest(&request);
        result = SendFlashCommand(cda, &request);
        if (result && progress != nullptr) progress(100);
    }

    __SA_FreeCollectBuffer(cda);
    // The controller may have reorganised its configuration: read it again when next needed.
    cda->config_valid_flags &= ~SA_CONFIG_VALID_ARRAY;
    return result;
}
