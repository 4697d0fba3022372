#pragma once
// Where the OPC link's messages go. MDSIO::SendInput hands every message to the output in
// force: MDSLinkOutput, which sends through MDS, unless another is installed (tests and
// benches install one that captures). The link never calls MDS's send anywhere else.
#include <cstdint>
#include <memory>

// Frees the storage of one message to the OPC the way it came: MDSFreeBuffer when `pooled`
// (from MDSAllocBuffer), else std::free.
struct OPCStorageFree {
    bool pooled = false;
    void operator()(uint8_t* storage) const;
};
// The storage of one message to the OPC, 4012 bytes.
using OPCStorage = std::unique_ptr<uint8_t[], OPCStorageFree>;

class OPCLinkOutput {
public:
    virtual ~OPCLinkOutput() = default;
    // One message for the OPC: the first `length` bytes of `storage` (the ServerNumber word
    // first), MDS class `cls`, OPC type `type`, `flag` MDS's caller flag. The output owns the
    // storage from here on; the meters are already counted. An output other than
    // MDSLinkOutput runs under the output lock on the sending thread: it must not send.
    virtual void Send(uint8_t cls, uint8_t type, OPCStorage storage, uint16_t length,
                      uint32_t flag) = 0;
};

// The real output: hands pooled storage to MDSSendInput. Without an MDS link (/tsy, or heap
// storage because the client was not registered) the message is traced and dropped.
class MDSLinkOutput final : public OPCLinkOutput {
public:
    void Send(uint8_t cls, uint8_t type, OPCStorage storage, uint16_t length,
              uint32_t flag) override;
};

// Installs `output` (kept by pointer: it must outlive its use); null puts MDSLinkOutput back.
// Returns the output it replaced. Waits for a Send of the output it replaces to end, so that
// the replaced one may be destroyed once this returns. Any thread; not from inside a Send.
OPCLinkOutput* InstallOPCLinkOutput(OPCLinkOutput* output);
// Hands one message to the output in force (see OPCLinkOutput::Send). Any thread.
void SendToOPCLinkOutput(uint8_t cls, uint8_t type, OPCStorage storage, uint16_t length,
                         uint32_t flag);
