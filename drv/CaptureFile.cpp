#include "drv/CaptureFile.h"

#include <pcap/pcap.h>
#include <sys/time.h>

namespace zorn {
namespace drv {

namespace {

// Room for the largest frame (a 16-bit length, its header and checksum) and
// the direction byte.
constexpr int kSnapLength = 65536 + 8;

}  // namespace

struct CaptureWriter::Handles {
    pcap_t* pcap = nullptr;
    pcap_dumper_t* dumper = nullptr;
    ~Handles() {
        if (dumper != nullptr) pcap_dump_close(dumper);
        if (pcap != nullptr) pcap_close(pcap);
    }
};

CaptureWriter::CaptureWriter() = default;
CaptureWriter::~CaptureWriter() = default;

bool CaptureWriter::open(const std::string& path, std::string& error) {
    auto handles = std::make_unique<Handles>();
    handles->pcap = pcap_open_dead(CAPTURE_LINK_TYPE, kSnapLength);
    if (handles->pcap == nullptr) {
        error = "cannot set up a capture";
        return false;
    }
    handles->dumper = pcap_dump_open(handles->pcap, path.c_str());
    if (handles->dumper == nullptr) {
        error = pcap_geterr(handles->pcap);
        return false;
    }
    // The file header goes out at once: a capture killed before its first
    // packet is still a valid, empty capture.
    pcap_dump_flush(handles->dumper);
    std::lock_guard<std::mutex> lock(mutex_);
    handles_ = std::move(handles);
    return true;
}

void CaptureWriter::write(uint8_t direction, const uint8_t* data, size_t size) {
    std::vector<uint8_t> packet;
    packet.reserve(size + 1);
    packet.push_back(direction);
    packet.insert(packet.end(), data, data + size);
    pcap_pkthdr header{};
    gettimeofday(&header.ts, nullptr);
    header.caplen = header.len = static_cast<bpf_u_int32>(packet.size());
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handles_) return;
    pcap_dump(reinterpret_cast<u_char*>(handles_->dumper), &header, packet.data());
    pcap_dump_flush(handles_->dumper);
}

bool readCapture(const std::string& path, std::vector<CaptureRecord>& out, std::string& error) {
    char text[PCAP_ERRBUF_SIZE] = {0};
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, text);
    if (pcap == nullptr) {
        // libpcap names the file itself when it cannot open it.
        const std::string reason = text;
        error = reason.rfind(path, 0) == 0 ? reason : path + ": " + reason;
        return false;
    }
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> guard(pcap, pcap_close);
    if (pcap_datalink(pcap) != CAPTURE_LINK_TYPE) {
        error = path + ": link type " + std::to_string(pcap_datalink(pcap)) + ", not the control bus's " +
                std::to_string(CAPTURE_LINK_TYPE) + " (DLT_USER0)";
        return false;
    }
    std::vector<CaptureRecord> records;
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int status = pcap_next_ex(pcap, &header, &data);
        if (status == PCAP_ERROR_BREAK) break;  // end of the file
        const std::string where = path + ": packet " + std::to_string(records.size() + 1);
        if (status != 1) {
            error = where + ": " + pcap_geterr(pcap);
            return false;
        }
        if (header->caplen != header->len || header->caplen < 2 || data[0] > CAPTURE_BASE_TO_HOST) {
            error = where + " is not a control-bus packet (direction byte and frame bytes)";
            return false;
        }
        CaptureRecord record;
        record.timeNs = static_cast<int64_t>(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec;
        record.direction = data[0];
        record.bytes.assign(data + 1, data + header->caplen);
        records.push_back(std::move(record));
    }
    out.swap(records);
    return true;
}

}  // namespace drv
}  // namespace zorn
