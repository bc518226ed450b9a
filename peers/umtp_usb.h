/* Between the C side of the uMTP-Responder peer (its USB layer) and the bridge. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* The bridge's pipes, for the responder. */
int bridge_read_out(unsigned char* buffer, int max);
int bridge_write_in(const unsigned char* data, int size);
int bridge_write_interrupt(const unsigned char* data, int size);

/* The responder, for the program: set up from a configuration file, serve one connection,
   cancel the transaction under way. */
int umtp_start(const char* conffile);
void umtp_serve(void);
void umtp_cancel(void);

#ifdef __cplusplus
}
#endif
