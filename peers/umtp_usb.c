/* uMTP-Responder's USB gadget layer, replaced: what its program main (umtprd.c) and its
   endpoint I/O (usb_gadget.c) did for the MTP code, with each transfer carried by the bridge.
   Everything else of uMTP-Responder runs as Debian ships it. */
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "mtp.h"
#include "usb_gadget_fct.h"

#include "umtp_usb.h"

/* usb_gadget.c's global: the one responder of the program. */
mtp_ctx* mtp_context;

/* The gadget's endpoints stand for the bridge's pipes; its handle is never looked into. */
static usb_gadget gadget;

int read_usb(usb_gadget* ctx, unsigned char* buffer, int maxsize) {
    (void)ctx;
    return bridge_read_out(buffer, maxsize);
}

/* Like the gadget's own: nothing goes out while a cancel is pending. */
int write_usb(usb_gadget* ctx, int channel, unsigned char* buffer, int size) {
    (void)ctx;
    if (!buffer || mtp_context->cancel_req)
        return -1;
    if (channel == EP_DESCRIPTOR_INT_IN)
        return bridge_write_interrupt(buffer, size);
    return bridge_write_in(buffer, size);
}

int is_usb_up(usb_gadget* ctx) {
    return !ctx->stop;
}

int umtp_start(const char* conffile) {
    mtp_context = mtp_init_responder();
    if (!mtp_context)
        return -1;
    mtp_load_config_file(mtp_context, conffile);
    /* The buffers init_usb_mtp_gadget allocates, of the sizes the configuration gives. */
    mtp_context->wrbuffer = calloc(1, mtp_context->usb_wr_buffer_max_size);
    mtp_context->rdbuffer = calloc(1, mtp_context->usb_rd_buffer_max_size);
    mtp_context->rdbuffer2 = calloc(1, mtp_context->usb_rd_buffer_max_size);
    if (!mtp_context->wrbuffer || !mtp_context->rdbuffer || !mtp_context->rdbuffer2)
        return -1;
    mtp_set_usb_handle(mtp_context, &gadget, mtp_context->usb_cfg.usb_max_packet_size);
    return 0;
}

/* One connection, as umtprd.c's io_thread and main_thread run one USB connection: packets
   until the link fails, then the session's object database goes. */
void umtp_serve(void) {
    gadget.stop = 0;
    while (!gadget.stop) {
        if (mtp_incoming_packet(mtp_context) < 0)
            gadget.stop = 1;
    }
    pthread_mutex_lock(&mtp_context->inotify_mutex);
    if (mtp_context->fs_db) {
        deinit_fs_db(mtp_context->fs_db);
        mtp_context->fs_db = 0;
    }
    mtp_context->cancel_req = 0;
    pthread_mutex_unlock(&mtp_context->inotify_mutex);
}

/* As the gadget's control endpoint takes a cancel request: the transfer under way ends; with
   none to end, the gadget gives up waiting for one and the link goes. */
void umtp_cancel(void) {
    if (mtp_context->transferring_file_data)
        mtp_context->cancel_req = 1;
    else
        gadget.stop = 1;
}
