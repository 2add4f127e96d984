/* A plugin for qemu's user-mode emulator that counts the instructions a
 * program executes block by block, charging the code outside one address
 * range (the module's) to the block of that range that ran last before it:
 * a call from the module into the C library or the interpreter counts towards
 * the module code that made it. benchmarks/bench_aarch64.py builds it with
 * the emulator's own qemu-plugin.h and reads what it writes.
 *
 * The program tells it the range and when to count by a system call that
 * fails harmlessly, lseek(-1, value, kMagic + command): Python's
 * os.lseek(-1, value, kMagic + command), with the OSError ignored. Commands:
 * the range's first and its end address, reset (every counter to zero, no
 * block ran last) and dump, which writes to the file of the argument
 * out=PATH the instructions executed since the reset and, unless the
 * argument blocks=off leaves the blocks uncounted (which costs the emulator
 * far less), one line per block that ran since then:
 *
 *   total INSTRUCTIONS
 *   block START EXECUTIONS CHARGED OFFSET,OFFSET,...
 *
 * START is the block's first address; the instructions start at START plus
 * each OFFSET. A block of the range counts its own EXECUTIONS and the
 * instructions of other code CHARGED to it; a block outside it that ran
 * before any block of the range since the reset counts its own EXECUTIONS.
 * One thread only: the counters are not shared safely between threads. */
#include <inttypes.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>

#include <glib.h>

#include <qemu-plugin.h>

QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;

enum { kMagic = 0x6f737400, kFirst = 1, kEnd = 2, kReset = 3, kDump = 4 };

typedef struct {
    uint64_t start;
    uint64_t n_insns;  /* with start, the key: a block can be translated again, shorter */
    uint64_t executions;
    uint64_t charged;
    char *offsets;
} Block;

static GHashTable *blocks;
static GMutex lock;
static uint64_t first, end;
static Block *last;
static const char *out_path;
static bool count_blocks = true;
static uint64_t total, total_at_reset;

static guint block_hash(gconstpointer key) {
    const Block *b = key;
    return g_int64_hash(&b->start) ^ (guint)b->n_insns;
}

static gboolean block_equal(gconstpointer a, gconstpointer b) {
    const Block *x = a, *y = b;
    return x->start == y->start && x->n_insns == y->n_insns;
}

static void on_exec(unsigned int vcpu, void *udata) {
    Block *b = udata;
    (void)vcpu;
    if (b->start - first < end - first) {
        last = b;
        b->executions++;
    } else if (last != NULL) {
        last->charged += b->n_insns;
    } else {
        b->executions++;
    }
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &total, qemu_plugin_tb_n_insns(tb));
    if (!count_blocks) return;
    Block key = {qemu_plugin_tb_vaddr(tb), qemu_plugin_tb_n_insns(tb), 0, 0, NULL};
    g_mutex_lock(&lock);
    Block *b = g_hash_table_lookup(blocks, &key);
    if (b == NULL) {
        b = g_new0(Block, 1);
        *b = key;
        GString *offsets = g_string_new(NULL);
        for (size_t i = 0; i < key.n_insns; i++) {
            uint64_t at = qemu_plugin_insn_vaddr(qemu_plugin_tb_get_insn(tb, i));
            g_string_append_printf(offsets, i == 0 ? "%" PRIu64 : ",%" PRIu64, at - key.start);
        }
        b->offsets = g_string_free(offsets, FALSE);
        g_hash_table_add(blocks, b);
    }
    g_mutex_unlock(&lock);
    qemu_plugin_register_vcpu_tb_exec_cb(tb, on_exec, QEMU_PLUGIN_CB_NO_REGS, b);
}

static void reset_block(gpointer key, gpointer value, gpointer data) {
    Block *b = value;
    (void)key, (void)data;
    b->executions = 0;
    b->charged = 0;
}

static void write_block(gpointer key, gpointer value, gpointer data) {
    const Block *b = value;
    (void)key;
    if (b->executions != 0 || b->charged != 0) {
        fprintf(data, "block %" PRIx64 " %" PRIu64 " %" PRIu64 " %s\n", b->start, b->executions, b->charged,
                b->offsets);
    }
}

static void on_syscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1, uint64_t a2, uint64_t a3,
                       uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8) {
    (void)id, (void)vcpu, (void)num, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
    /* The descriptor and whence are C ints: their upper halves are undefined. */
    const uint32_t command = (uint32_t)a3 - kMagic;
    if ((uint32_t)a1 != UINT32_MAX || command > kDump) return;
    g_mutex_lock(&lock);
    switch (command) {
    case kFirst:
        first = a2;
        break;
    case kEnd:
        end = a2;
        break;
    case kReset:
        g_hash_table_foreach(blocks, reset_block, NULL);
        last = NULL;
        total_at_reset = total;
        break;
    case kDump: {
        FILE *out = fopen(out_path, "w");
        if (out == NULL) {
            qemu_plugin_outs("block_counts: cannot write the out= file\n");
            break;
        }
        fprintf(out, "total %" PRIu64 "\n", total - total_at_reset);
        g_hash_table_foreach(blocks, write_block, out);
        fclose(out);
        break;
    }
    }
    g_mutex_unlock(&lock);
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv) {
    (void)info;
    for (int i = 0; i < argc; i++) {
        if (strncmp(argv[i], "out=", 4) == 0) out_path = argv[i] + 4;
        if (strcmp(argv[i], "blocks=off") == 0) count_blocks = false;
    }
    if (out_path == NULL) {
        fprintf(stderr, "block_counts: needs out=PATH\n");
        return -1;
    }
    blocks = g_hash_table_new(block_hash, block_equal);
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
    return 0;
}
