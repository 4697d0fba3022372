#pragma once
// A working stand-in for the file-compression service: files are queued and "compressed"
// when the test says so (the compressed copy is the first half of the file), with the
// totals, results and callbacks of the real service.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

#include "nuvlib/filecompress.h"

class FileCompressDouble : public FileCompress {
public:
    explicit FileCompressDouble(const FileCompressParams& p) : params(p) {
        if (params.timeoutMs < 5000) params.timeoutMs = 5000;
    }

    int Init() override {
        std::lock_guard<std::mutex> hold(mu);
        if (initResult != 0) return initResult;
        initialised = true;
        DIR* d = ::opendir(params.directory.empty() ? "." : params.directory.c_str());
        if (d != nullptr) {
            while (struct dirent* de = ::readdir(d)) {
                if (fnmatch(params.waitingPattern.c_str(), de->d_name, FNM_CASEFOLD) != 0) continue;
                struct stat st;
                if (::stat(Path(de->d_name).c_str(), &st) != 0) continue;
                QueueLocked(de->d_name, static_cast<uint64_t>(st.st_size));
            }
            ::closedir(d);
        }
        return 0;
    }
    int Shutdown() override {
        shutdowns++;
        return 0;
    }
    int GetFileTotals(FileTotals* t) override {
        std::lock_guard<std::mutex> hold(mu);
        if (totalsResult != 0) return totalsResult;
        *t = totals;
        return 0;
    }
    int SetFileTotals(const FileTotals& t) override {
        std::lock_guard<std::mutex> hold(mu);
        totals = t;
        return 0;
    }
    int AddFileTotals(const FileTotals& t) override {
        std::lock_guard<std::mutex> hold(mu);
        totals.compressedBytes += t.compressedBytes;
        totals.uncompressedBytes += t.uncompressedBytes;
        totals.compressedFiles += t.compressedFiles;
        totals.uncompressedFiles += t.uncompressedFiles;
        return 0;
    }
    int DeductFileTotals(const FileTotals& t) override {
        std::lock_guard<std::mutex> hold(mu);
        int rc = 0;
        auto deduct = [&](auto& total, auto delta) {
            if (delta > total) {
                total = 0;
                rc = 30;
            } else {
                total -= delta;
            }
        };
        deduct(totals.compressedBytes, t.compressedBytes);
        deduct(totals.uncompressedBytes, t.uncompressedBytes);
        deduct(totals.compressedFiles, t.compressedFiles);
        deduct(totals.uncompressedFiles, t.uncompressedFiles);
        return rc;
    }
    int QueueFileToCompress(const char* name, uint32_t lo, uint32_t hi) override {
        std::lock_guard<std::mutex> hold(mu);
        if (!initialised) return 1;
        if (name == nullptr || *name == '\0') return 22;
        if (queueResult != 0) return queueResult;
        QueueLocked(name, static_cast<uint64_t>(hi) << 32 | lo);
        return 0;
    }
    void SetErrorCallback(FileCompressErrorCallback cb) override { params.errorCallback = cb; }

    // Compresses every queued file, as the service's thread would, one at a time.
    void CompressAll() {
        for (;;) {
            std::string name;
            uint64_t size = 0;
            {
                std::lock_guard<std::mutex> hold(mu);
                if (queue.empty()) return;
                name = queue.front().first;
                size = queue.front().second;
                queue.pop_front();
            }
            std::string bytes;
            {
                std::ifstream in(Path(name), std::ios::binary);
                bytes.assign(std::istreambuf_iterator<char>(in), {});
            }
            bytes.resize(bytes.size() / 2);
            std::ofstream(Path(name) + params.extension, std::ios::binary) << bytes;
            ::unlink(Path(name).c_str());
            {
                std::lock_guard<std::mutex> hold(mu);
                totals.uncompressedBytes -= size;
                totals.uncompressedFiles -= 1;
                totals.compressedBytes += bytes.size();
                totals.compressedFiles += 1;
            }
            if (params.doneCallback != nullptr)
                params.doneCallback(Path(name).c_str(), static_cast<uint32_t>(bytes.size()), 0);
        }
    }

    std::string Path(const std::string& name) const {
        return params.directory.empty() ? name : params.directory + "/" + name;
    }

    FileCompressParams params;
    std::mutex mu;
    bool initialised = false;
    int initResult = 0;
    int queueResult = 0;
    int totalsResult = 0;
    int shutdowns = 0;
    FileTotals totals;
    std::deque<std::pair<std::string, uint64_t>> queue;

private:
    void QueueLocked(const std::string& name, uint64_t size) {
        queue.emplace_back(name, size);
        totals.uncompressedBytes += size;
        totals.uncompressedFiles += 1;
    }
};

// Installs a service whose every creation yields a FileCompressDouble; the last one made is
// reachable through Last().
struct FileCompressDoubleService {
    static inline FileCompressDouble* last = nullptr;
    static inline int initResult = 0;
    static std::unique_ptr<FileCompress> Create(const FileCompressParams& p) {
        auto made = std::make_unique<FileCompressDouble>(p);
        made->initResult = initResult;
        last = made.get();
        return made;
    }
    static const char* Name(int code) { return code == 0 ? "RET_SUCCESS" : "UNKNOWN RETURN VALUE"; }
    static constexpr FileCompressService kService = {Create, Name};
};
