/*
 * SPDX-License-Identifier: GPL-2.0-or-later
 *
 * A Quorvel card as VELDRAN's kernel tests need it: a PLX 9054 bridge with
 * an FPGA behind it that takes its configuration one byte at a time.
 *
 *   BAR 0  memory, 256 bytes: the bridge's registers
 *   BAR 1  I/O, 256 bytes: the same registers (absent with io-bar=off)
 *   BAR 3  memory, window-size bytes: byte stores at its first byte are
 *          the FPGA's configuration port
 *
 * The register at 0x6C keeps every bit written to it but DONE (bit 1),
 * which the FPGA drives. PROGRAM (bit 16) reaches the FPGA through a user
 * pin that is an output only while both MODE bits (18, 19) are set; while
 * it is not, the FPGA's line is pulled high.
 *
 * The FPGA: its line held low clears the configuration and DONE reads 1
 * (ready); raised again, the data phase begins and DONE reads 0 until the
 * configuration is complete. The card's data lines reach the FPGA in
 * reverse order, so its sync word, AA 99 for a Spartan-3A (the first half
 * of the larger families' AA 99 55 66), arrives at the port as 55 99;
 * bytes before it are ignored, and the configuration is complete once
 * config-size bytes have followed it. Stores outside the
 * data phase, or other than a byte at the port, are stray. A reset of the
 * device clears the configuration and puts the registers back to their
 * power-on values (control at 0x6C: the "control" property).
 *
 * Faults on demand: done-never=on (the configuration never completes),
 * done-flicker=N (the Nth DONE read after completion reads 0, once),
 * busy-at-start=on (DONE stays 0 while the line is held low), io-bar=off.
 *
 * The record (property "record", a file written as the guest runs): one
 * event a line, the guest's virtual time in ns first; numbers in hex but
 * the access size.
 *
 *   NS reset
 *   NS cfg r|w OFFSET SIZE VALUE    configuration space
 *   NS mem r|w OFFSET SIZE VALUE    BAR 0
 *   NS io r|w OFFSET SIZE VALUE     BAR 1
 *   NS win r OFFSET SIZE VALUE      a load from BAR 3
 *   NS stray OFFSET SIZE VALUE      a store to BAR 3 that the FPGA did not take
 *   NS data LAST-NS BYTES           bytes taken at the port (NS: the first, LAST-NS: the last)
 *   NS done                         the configuration is complete
 */

#include "qemu/osdep.h"
#include "hw/pci/pci.h"
#include "hw/qdev-properties.h"
#include "qapi/error.h"
#include "qemu/module.h"
#include "qemu/notify.h"
#include "qemu/timer.h"
#include "qom/object.h"
#include "sysemu/sysemu.h"

#define TYPE_QUORVEL_9054 "quorvel-9054"
OBJECT_DECLARE_SIMPLE_TYPE(Quorvel9054State, QUORVEL_9054)

#define PLX_VENDOR_ID       0x10b5
#define PLX_9054_DEVICE_ID  0x9054

#define REGS_SIZE       256
#define CONTROL         0x6c
#define DONE_BIT        0x00000002u
#define PROGRAM_BIT     0x00010000u
#define MODE_BITS       0x000c0000u
#define SYNC_WORD       0x5599u
#define DATA_LINE       32

typedef enum {
    FPGA_UNCONFIGURED,  /* since power-on or reset */
    FPGA_CLEARED,       /* its line held low */
    FPGA_LOADING,       /* the data phase */
    FPGA_CONFIGURED,
} FpgaState;

struct Quorvel9054State {
    PCIDevice parent_obj;

    MemoryRegion regs_mem;
    MemoryRegion regs_io;
    MemoryRegion window;
    uint8_t regs[REGS_SIZE];

    FpgaState fpga;
    uint16_t sync;      /* the last two bytes, until the sync word */
    bool synced;
    uint32_t taken;     /* bytes since the sync word */
    uint32_t done_reads;
    bool flickered;

    FILE *record;
    Notifier exit_notifier;
    uint8_t line[DATA_LINE];
    unsigned line_length;
    int64_t line_first;
    int64_t line_last;

    uint16_t subsys;
    uint64_t window_size;
    uint32_t config_size;
    uint32_t control_power_on;
    bool io_bar;
    bool done_never;
    bool busy_at_start;
    uint32_t done_flicker;
    char *record_path;
};

static int64_t now_ns(void)
{
    return qemu_clock_get_ns(QEMU_CLOCK_VIRTUAL);
}

/* ---- the record --------------------------------------------------------- */

static void record_flush_data(Quorvel9054State *s)
{
    unsigned i;

    if (!s->record || s->line_length == 0) {
        return;
    }
    fprintf(s->record, "%" PRId64 " data %" PRId64 " ", s->line_first, s->line_last);
    for (i = 0; i < s->line_length; i++) {
        fprintf(s->record, "%02x", s->line[i]);
    }
    fputc('\n', s->record);
    s->line_length = 0;
}

/* Every other event first writes the data before it, to keep the order. */
static void record_event(Quorvel9054State *s, const char *event)
{
    if (!s->record) {
        return;
    }
    record_flush_data(s);
    fprintf(s->record, "%" PRId64 " %s\n", now_ns(), event);
}

static void record_access(Quorvel9054State *s, const char *space, char kind,
                          uint64_t offset, unsigned size, uint64_t value)
{
    char event[96];

    snprintf(event, sizeof(event), "%s %c %" PRIx64 " %u %" PRIx64,
             space, kind, offset, size, value);
    record_event(s, event);
}

static void record_stray(Quorvel9054State *s, uint64_t offset, unsigned size,
                         uint64_t value)
{
    char event[96];

    snprintf(event, sizeof(event), "stray %" PRIx64 " %u %" PRIx64,
             offset, size, value);
    record_event(s, event);
}

static void record_data(Quorvel9054State *s, uint8_t byte)
{
    int64_t t = now_ns();

    if (!s->record) {
        return;
    }
    if (s->line_length == DATA_LINE) {
        record_flush_data(s);
    }
    if (s->line_length == 0) {
        s->line_first = t;
    }
    s->line_last = t;
    s->line[s->line_length++] = byte;
}

static void record_close(Quorvel9054State *s)
{
    if (s->record) {
        record_flush_data(s);
        fclose(s->record);
        s->record = NULL;
    }
}

/* QEMU leaves devices in place when it exits: the record ends here. */
static void record_at_exit(Notifier *notifier, void *data)
{
    record_close(container_of(notifier, Quorvel9054State, exit_notifier));
}

/* ---- the FPGA ----------------------------------------------------------- */

static void fpga_clear(Quorvel9054State *s)
{
    s->sync = 0;
    s->synced = false;
    s->taken = 0;
    s->done_reads = 0;
    s->flickered = false;
}

static void fpga_complete(Quorvel9054State *s)
{
    if (s->done_never) {
        return;
    }
    s->fpga = FPGA_CONFIGURED;
    record_event(s, "done");
}

static void fpga_take(Quorvel9054State *s, uint8_t byte)
{
    if (s->fpga != FPGA_LOADING) {
        return;  /* clocks after completion */
    }
    if (!s->synced) {
        s->sync = (s->sync << 8) | byte;
        s->synced = s->sync == SYNC_WORD;
        if (s->synced && s->config_size == 0) {
            fpga_complete(s);
        }
        return;
    }
    if (++s->taken == s->config_size) {
        fpga_complete(s);
    }
}

static void fpga_program_line(Quorvel9054State *s, bool high)
{
    if (!high) {
        if (s->fpga != FPGA_CLEARED) {
            fpga_clear(s);
        }
        s->fpga = FPGA_CLEARED;
    } else if (s->fpga == FPGA_CLEARED) {
        s->fpga = FPGA_LOADING;
    }
}

/* What DONE reads now; a read counts towards done-flicker. */
static bool fpga_done_read(Quorvel9054State *s)
{
    switch (s->fpga) {
    case FPGA_CLEARED:
        return !s->busy_at_start;
    case FPGA_CONFIGURED:
        if (s->done_flicker && !s->flickered &&
            ++s->done_reads == s->done_flicker) {
            s->flickered = true;
            return false;
        }
        return true;
    default:
        return false;
    }
}

/* ---- the bridge's registers --------------------------------------------- */

static uint32_t control_value(Quorvel9054State *s)
{
    return ldl_le_p(s->regs + CONTROL);
}

static bool touches_control(hwaddr addr, unsigned size)
{
    return addr < CONTROL + 4 && addr + size > CONTROL;
}

static uint64_t regs_read(Quorvel9054State *s, const char *space, hwaddr addr,
                          unsigned size)
{
    uint8_t bytes[8];
    uint64_t value = 0;
    unsigned i;

    memcpy(bytes, s->regs + addr, size);
    if (addr <= CONTROL && addr + size > CONTROL) {
        bytes[CONTROL - addr] &= ~DONE_BIT;
        if (fpga_done_read(s)) {
            bytes[CONTROL - addr] |= DONE_BIT;
        }
    }
    for (i = 0; i < size; i++) {
        value |= (uint64_t)bytes[i] << (8 * i);
    }
    record_access(s, space, 'r', addr, size, value);
    return value;
}

static void regs_write(Quorvel9054State *s, const char *space, hwaddr addr,
                       uint64_t value, unsigned size)
{
    uint32_t control;
    unsigned i;

    record_access(s, space, 'w', addr, size, value);
    for (i = 0; i < size; i++) {
        s->regs[addr + i] = value >> (8 * i);
    }
    if (!touches_control(addr, size)) {
        return;
    }
    control = control_value(s);
    fpga_program_line(s, (control & MODE_BITS) != MODE_BITS ||
                         (control & PROGRAM_BIT));
}

static uint64_t regs_mem_read(void *opaque, hwaddr addr, unsigned size)
{
    return regs_read(opaque, "mem", addr, size);
}

static void regs_mem_write(void *opaque, hwaddr addr, uint64_t value,
                           unsigned size)
{
    regs_write(opaque, "mem", addr, value, size);
}

static uint64_t regs_io_read(void *opaque, hwaddr addr, unsigned size)
{
    return regs_read(opaque, "io", addr, size);
}

static void regs_io_write(void *opaque, hwaddr addr, uint64_t value,
                          unsigned size)
{
    regs_write(opaque, "io", addr, value, size);
}

static const MemoryRegionOps regs_mem_ops = {
    .read = regs_mem_read,
    .write = regs_mem_write,
    .endianness = DEVICE_LITTLE_ENDIAN,
    .valid = { .min_access_size = 1, .max_access_size = 4 },
    .impl = { .min_access_size = 1, .max_access_size = 4 },
};

static const MemoryRegionOps regs_io_ops = {
    .read = regs_io_read,
    .write = regs_io_write,
    .endianness = DEVICE_LITTLE_ENDIAN,
    .valid = { .min_access_size = 1, .max_access_size = 4 },
    .impl = { .min_access_size = 1, .max_access_size = 4 },
};

/* ---- the data window ---------------------------------------------------- */

static uint64_t window_read(void *opaque, hwaddr addr, unsigned size)
{
    record_access(opaque, "win", 'r', addr, size, 0);
    return 0;
}

static void window_write(void *opaque, hwaddr addr, uint64_t value,
                         unsigned size)
{
    Quorvel9054State *s = opaque;

    if (addr != 0 || size != 1 ||
        (s->fpga != FPGA_LOADING && s->fpga != FPGA_CONFIGURED)) {
        record_stray(s, addr, size, value);
        return;
    }
    record_data(s, value);
    fpga_take(s, value);
}

static const MemoryRegionOps window_ops = {
    .read = window_read,
    .write = window_write,
    .endianness = DEVICE_LITTLE_ENDIAN,
    .valid = { .min_access_size = 1, .max_access_size = 8 },
    .impl = { .min_access_size = 1, .max_access_size = 8 },
};

/* ---- the PCI device ----------------------------------------------------- */

static uint32_t card_config_read(PCIDevice *pdev, uint32_t addr, int len)
{
    uint32_t value = pci_default_read_config(pdev, addr, len);

    record_access(QUORVEL_9054(pdev), "cfg", 'r', addr, len, value);
    return value;
}

static void card_config_write(PCIDevice *pdev, uint32_t addr, uint32_t value,
                              int len)
{
    record_access(QUORVEL_9054(pdev), "cfg", 'w', addr, len, value);
    pci_default_write_config(pdev, addr, value, len);
}

static void card_reset(DeviceState *dev)
{
    Quorvel9054State *s = QUORVEL_9054(dev);

    record_event(s, "reset");
    memset(s->regs, 0, sizeof(s->regs));
    stl_le_p(s->regs + CONTROL, s->control_power_on);
    s->fpga = FPGA_UNCONFIGURED;
    fpga_clear(s);
}

static void card_realize(PCIDevice *pdev, Error **errp)
{
    Quorvel9054State *s = QUORVEL_9054(pdev);

    if (s->window_size < 16 || !is_power_of_2(s->window_size)) {
        error_setg(errp, "window-size must be a power of 2 of at least 16");
        return;
    }
    if (s->record_path) {
        s->record = fopen(s->record_path, "w");
        if (!s->record) {
            error_setg_errno(errp, errno, "cannot write the record %s",
                             s->record_path);
            return;
        }
        s->exit_notifier.notify = record_at_exit;
        qemu_add_exit_notifier(&s->exit_notifier);
    }

    pci_set_word(pdev->config + PCI_SUBSYSTEM_VENDOR_ID, PLX_VENDOR_ID);
    pci_set_word(pdev->config + PCI_SUBSYSTEM_ID, s->subsys);
    pdev->config[PCI_INTERRUPT_PIN] = 1;

    memory_region_init_io(&s->regs_mem, OBJECT(s), &regs_mem_ops, s,
                          "quorvel-9054-regs", REGS_SIZE);
    pci_register_bar(pdev, 0, PCI_BASE_ADDRESS_SPACE_MEMORY, &s->regs_mem);
    if (s->io_bar) {
        memory_region_init_io(&s->regs_io, OBJECT(s), &regs_io_ops, s,
                              "quorvel-9054-regs-io", REGS_SIZE);
        pci_register_bar(pdev, 1, PCI_BASE_ADDRESS_SPACE_IO, &s->regs_io);
    }
    memory_region_init_io(&s->window, OBJECT(s), &window_ops, s,
                          "quorvel-9054-window", s->window_size);
    pci_register_bar(pdev, 3, PCI_BASE_ADDRESS_SPACE_MEMORY, &s->window);
}

static void card_exit(PCIDevice *pdev)
{
    Quorvel9054State *s = QUORVEL_9054(pdev);

    if (s->record) {
        qemu_remove_exit_notifier(&s->exit_notifier);
        record_close(s);
    }
}

static Property card_properties[] = {
    DEFINE_PROP_UINT16("subsys", Quorvel9054State, subsys, 0x3312),
    DEFINE_PROP_SIZE("window-size", Quorvel9054State, window_size, 0x1000),
    DEFINE_PROP_UINT32("config-size", Quorvel9054State, config_size, 0),
    DEFINE_PROP_UINT32("control", Quorvel9054State, control_power_on,
                       0x2405a55c),
    DEFINE_PROP_BOOL("io-bar", Quorvel9054State, io_bar, true),
    DEFINE_PROP_BOOL("done-never", Quorvel9054State, done_never, false),
    DEFINE_PROP_BOOL("busy-at-start", Quorvel9054State, busy_at_start, false),
    DEFINE_PROP_UINT32("done-flicker", Quorvel9054State, done_flicker, 0),
    DEFINE_PROP_STRING("record", Quorvel9054State, record_path),
    DEFINE_PROP_END_OF_LIST(),
};

static void card_class_init(ObjectClass *klass, void *data)
{
    DeviceClass *dc = DEVICE_CLASS(klass);
    PCIDeviceClass *k = PCI_DEVICE_CLASS(klass);

    k->realize = card_realize;
    k->exit = card_exit;
    k->config_read = card_config_read;
    k->config_write = card_config_write;
    k->vendor_id = PLX_VENDOR_ID;
    k->device_id = PLX_9054_DEVICE_ID;
    k->revision = 0x0b;
    k->class_id = PCI_CLASS_BRIDGE_OTHER;
    dc->desc = "Quorvel card: PLX 9054 bridge and FPGA, for VELDRAN's tests";
    dc->reset = card_reset;
    set_bit(DEVICE_CATEGORY_MISC, dc->categories);
    device_class_set_props(dc, card_properties);
}

static const TypeInfo card_info = {
    .name          = TYPE_QUORVEL_9054,
    .parent        = TYPE_PCI_DEVICE,
    .instance_size = sizeof(Quorvel9054State),
    .class_init    = card_class_init,
    .interfaces = (InterfaceInfo[]) {
        { INTERFACE_CONVENTIONAL_PCI_DEVICE },
        { },
    },
};

static void card_register_types(void)
{
    type_register_static(&card_info);
}

type_init(card_register_types)
