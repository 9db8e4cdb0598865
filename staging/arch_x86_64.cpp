// The x86-64 side of interleave: int3 breakpoints, the registers of the System V calling
// convention, and instructions decoded by Capstone.
#include <capstone/capstone.h>
#include <stdio.h>
#include <string.h>

#include "arch.h"

bool holdsPrograms() {
    return true;
}

const char *processorName() {
    return "x86-64";
}

uint64_t programCounter(const Registers &registers) {
    return registers.rip;
}

void setProgramCounter(Registers &registers, uint64_t address) {
    registers.rip = address;
}

uint64_t returnAddressSlot(const Registers &registers) {
    return registers.rsp;
}

uint64_t callArgument(const Registers &registers, unsigned index) {
    const unsigned long long arguments[] = {registers.rdi, registers.rsi, registers.rdx,
                                            registers.rcx, registers.r8,  registers.r9};
    return index < 6 ? arguments[index] : 0;
}

uint64_t systemCallArgument(const Registers &registers, unsigned index) {
    // The kernel's convention differs from a call's in its fourth: r10, as syscall takes rcx.
    const unsigned long long arguments[] = {registers.rdi, registers.rsi, registers.rdx,
                                            registers.r10, registers.r8,  registers.r9};
    return index < 6 ? arguments[index] : 0;
}

void setCallArgument(Registers &registers, unsigned index, uint64_t value) {
    unsigned long long *arguments[] = {&registers.rdi, &registers.rsi, &registers.rdx,
                                       &registers.rcx, &registers.r8,  &registers.r9};
    if (index < 6)
        *arguments[index] = value;
}

uint64_t stackPointer(const Registers &registers) {
    return registers.rsp;
}

void setStackPointer(Registers &registers, uint64_t address) {
    registers.rsp = address;
}

uint64_t returnValue(const Registers &registers) {
    return registers.rax;
}

void setReturnValue(Registers &registers, uint64_t value) {
    registers.rax = value;
}

long systemCallNumber(const Registers &registers) {
    return static_cast<long>(registers.orig_rax);
}

void skipSystemCall(Registers &registers) {
    registers.orig_rax = ~0ULL; // no system call has this number
}

void setSystemCallResult(Registers &registers, long result) {
    registers.rax = static_cast<unsigned long long>(result);
}

void forgetFlags(Registers &registers) {
    registers.eflags = 0;
}

namespace {

csh disassembler() {
    static csh handle = 0;
    if (handle == 0) {
        if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK)
            return 0;
        cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    }
    return handle;
}

// A register's value as an address part; a 32-bit register is its 64-bit one's low half.
uint64_t registerValue(int reg, const Registers &r, uint64_t next) {
    switch (reg) {
    case X86_REG_RIP:
        return next;
    case X86_REG_RAX:
        return r.rax;
    case X86_REG_RBX:
        return r.rbx;
    case X86_REG_RCX:
        return r.rcx;
    case X86_REG_RDX:
        return r.rdx;
    case X86_REG_RSI:
        return r.rsi;
    case X86_REG_RDI:
        return r.rdi;
    case X86_REG_RBP:
        return r.rbp;
    case X86_REG_RSP:
        return r.rsp;
    case X86_REG_R8:
        return r.r8;
    case X86_REG_R9:
        return r.r9;
    case X86_REG_R10:
        return r.r10;
    case X86_REG_R11:
        return r.r11;
    case X86_REG_R12:
        return r.r12;
    case X86_REG_R13:
        return r.r13;
    case X86_REG_R14:
        return r.r14;
    case X86_REG_R15:
        return r.r15;
    case X86_REG_EAX:
        return r.rax & 0xffffffffU;
    case X86_REG_EBX:
        return r.rbx & 0xffffffffU;
    case X86_REG_ECX:
        return r.rcx & 0xffffffffU;
    case X86_REG_EDX:
        return r.rdx & 0xffffffffU;
    case X86_REG_ESI:
        return r.rsi & 0xffffffffU;
    case X86_REG_EDI:
        return r.rdi & 0xffffffffU;
    case X86_REG_EBP:
        return r.rbp & 0xffffffffU;
    case X86_REG_ESP:
        return r.rsp & 0xffffffffU;
    default:
        return 0; // none, or a register that never addresses memory in compiled code
    }
}

Flow flowOf(const cs_insn &insn) {
    const cs_detail &detail = *insn.detail;
    for (unsigned i = 0; i < detail.groups_count; ++i) {
        switch (detail.groups[i]) {
        case X86_GRP_CALL:
            return Flow::call;
        case X86_GRP_RET:
        case X86_GRP_IRET:
            return Flow::end;
        case X86_GRP_JUMP:
            if (insn.id != X86_INS_JMP)
                return Flow::branch;
            return detail.x86.op_count == 1 && detail.x86.operands[0].type == X86_OP_IMM
                       ? Flow::jump
                       : Flow::end;
        default:
            break;
        }
    }
    if (insn.id == X86_INS_HLT || insn.id == X86_INS_UD2 || insn.id == X86_INS_INT3)
        return Flow::end;
    return Flow::next;
}

} // namespace

bool decodeInstruction(const uint8_t *code, size_t size, uint64_t address, Instruction &out) {
    const csh handle = disassembler();
    cs_insn *insn = nullptr;
    if (handle == 0 || cs_disasm(handle, code, size, address, 1, &insn) != 1)
        return false;
    out = Instruction{};
    out.address = address;
    out.length = insn->size;
    snprintf(out.text, sizeof out.text, "%s%s%s", insn->mnemonic, insn->op_str[0] ? " " : "",
             insn->op_str);
    out.flow = flowOf(*insn);
    const cs_x86 &x86 = insn->detail->x86;
    // lea computes an address and a nop with an operand touches nothing: neither reads memory.
    const bool touches = insn->id != X86_INS_LEA && insn->id != X86_INS_NOP;
    for (unsigned i = 0; i < x86.op_count; ++i) {
        const cs_x86_op &op = x86.operands[i];
        if (op.type == X86_OP_IMM && out.flow != Flow::next) {
            out.targetKnown = true;
            out.target = static_cast<uint64_t>(op.imm);
        }
        if (op.type != X86_OP_MEM || !touches || out.memoryCount == 2)
            continue;
        MemoryOperand &memory = out.memory[out.memoryCount++];
        memory.base = op.mem.base;
        memory.index = op.mem.index;
        memory.scale = op.mem.scale;
        memory.displacement = op.mem.disp;
        memory.threadLocal = op.mem.segment == X86_REG_FS || op.mem.segment == X86_REG_GS;
        memory.size = op.size;
        // An operand whose access the library does not record is taken as read.
        memory.reads = (op.access & CS_AC_READ) != 0 || op.access == 0;
        memory.writes = (op.access & CS_AC_WRITE) != 0;
    }
    out.atomic =
        x86.prefix[0] == X86_PREFIX_LOCK || (insn->id == X86_INS_XCHG && out.memoryCount > 0);
    out.fences = out.atomic || insn->id == X86_INS_MFENCE || insn->id == X86_INS_CPUID;
    out.systemCall =
        insn->id == X86_INS_SYSCALL || insn->id == X86_INS_SYSENTER || insn->id == X86_INS_INT;
    out.returns = insn->id == X86_INS_RET;
    const bool loads = out.memoryCount == 1 && out.memory[0].reads && !out.memory[0].writes;
    if (loads && x86.op_count >= 1 && x86.operands[0].type == X86_OP_REG)
        snprintf(out.loadedInto, sizeof out.loadedInto, "%s",
                 cs_reg_name(handle, x86.operands[0].reg));
    cs_free(insn, 1);
    return true;
}

uint64_t operandAddress(const Instruction &instruction, const MemoryOperand &operand,
                        const Registers &registers) {
    const uint64_t next = instruction.address + instruction.length;
    return registerValue(operand.base, registers, next) +
           registerValue(operand.index, registers, next) * static_cast<uint64_t>(operand.scale) +
           static_cast<uint64_t>(operand.displacement);
}

bool fixedAddress(const Instruction &instruction, const MemoryOperand &operand, uint64_t &address) {
    if (operand.index != X86_REG_INVALID || operand.threadLocal ||
        (operand.base != X86_REG_RIP && operand.base != X86_REG_INVALID))
        return false;
    address = (operand.base == X86_REG_RIP ? instruction.address + instruction.length : 0) +
              static_cast<uint64_t>(operand.displacement);
    return true;
}
