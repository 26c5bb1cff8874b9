#pragma once
// The router's flat glue over POSIX: sockets, files, randomness, the clock and HTTPS
// downloads through the external `curl` program.
//
// Every function takes plain integers and byte buffers with explicit lengths (byte
// strings are not NUL-terminated), never raises and never allocates for the caller.
// Each returns a count, a descriptor or a small code on success, -1 on failure and -2
// where noted for would-block or time-out. Every -1 leaves a text of at most 255 bytes
// in one process-wide last-error buffer; read it at once, before the next glue call.
//
// Byte-string limits: host names 1..255 bytes, paths 1..1,023 bytes, URLs 9..1,023
// bytes. A byte string outside its bounds, or holding a NUL byte, is refused.
//
// Every descriptor the glue opens is close-on-exec, so a started `curl` inherits none.
#include <cstdint>

extern "C" {

// --- Last error ---------------------------------------------------------------------

// Length of the last-error text.
std::int32_t ondrel_i2p_net_last_error_len(void);
// Copies min(length, capacity) bytes of the last-error text (no NUL) and returns that
// count; copies nothing when capacity is 0 or less.
std::int32_t ondrel_i2p_net_last_error_copy(std::uint8_t* buf, std::int32_t capacity);

// --- TCP ----------------------------------------------------------------------------

// A non-blocking TCP socket whose connection is established or in progress. Resolves
// the host first (that lookup may wait). -1: "invalid host or port", the resolver's
// text, or the error of the last address tried (ECONNREFUSED when there was none).
std::int32_t ondrel_i2p_net_tcp_connect_nb(const std::uint8_t* host, std::int32_t host_len, std::int32_t port);
// Blocking form of ondrel_i2p_net_tcp_connect_nb; the socket is left blocking.
std::int32_t ondrel_i2p_net_tcp_connect(const std::uint8_t* host, std::int32_t host_len, std::int32_t port);
// 1 connected, 0 still in progress, -1 with the poll failure or the pending error.
std::int32_t ondrel_i2p_net_tcp_check_connected(std::int32_t fd);
// Sets (on != 0) or clears O_NONBLOCK, keeping the other status flags. 0 or -1.
std::int32_t ondrel_i2p_net_tcp_set_nonblocking(std::int32_t fd, std::int32_t on);
// SO_KEEPALIVE on, and TCP_USER_TIMEOUT = ms when ms > 0. 0 or -1.
std::int32_t ondrel_i2p_net_tcp_set_peer_timeouts(std::int32_t fd, std::int32_t ms);
// TCP_NODELAY on (on != 0) or off: whether small writes leave at once or wait for the
// acknowledgement of earlier ones (Nagle's algorithm). 0 or -1.
std::int32_t ondrel_i2p_net_tcp_set_nodelay(std::int32_t fd, std::int32_t on);
// SO_RCVTIMEO of ms. 0 or -1.
std::int32_t ondrel_i2p_net_tcp_set_recv_timeout(std::int32_t fd, std::int32_t ms);
// A non-blocking IPv4 listener (SO_REUSEADDR, backlog SOMAXCONN); port 0 lets the kernel
// choose. -1: "invalid listen host or port", the resolver's text, or that of
// socket, bind or listen.
std::int32_t ondrel_i2p_net_tcp_listen(const std::uint8_t* host, std::int32_t host_len, std::int32_t port);
// The socket's local port, or -1.
std::int32_t ondrel_i2p_net_tcp_local_port(std::int32_t fd);
// A new (blocking) descriptor. timeout_ms >= 0 waits at most that long and gives -2
// when no connection came; a negative time-out waits for one. -1 with text.
std::int32_t ondrel_i2p_net_tcp_accept(std::int32_t fd, std::int32_t timeout_ms);
// Sends from data + offset without waiting; returns the count sent (possibly fewer
// than asked), -2 when the socket would block, -1 with text.
std::int32_t ondrel_i2p_net_tcp_send(std::int32_t fd, const std::uint8_t* data, std::int32_t offset,
                                     std::int32_t count);
// Sends the count buffers in order, as one write, without waiting (at most 64 buffers,
// each 0..2,147,483,647 bytes, at most 2,147,483,647 in all): the count sent (possibly
// fewer than given), -2 when the socket would block, -1 with text ("invalid sendv
// arguments", or the text of sendmsg).
std::int32_t ondrel_i2p_net_tcp_sendv(std::int32_t fd, const std::uint8_t* const* buffers, const std::int32_t* lengths,
                                      std::int32_t count);
// Receives into buf: the count, 0 at end of stream, -2 when the socket would block,
// -1 with text. Waits on a blocking socket.
std::int32_t ondrel_i2p_net_tcp_recv(std::int32_t fd, std::uint8_t* buf, std::int32_t capacity);
// As ondrel_i2p_net_tcp_recv, never waiting.
std::int32_t ondrel_i2p_net_tcp_recv_nb(std::int32_t fd, std::uint8_t* buf, std::int32_t capacity);
// 1 when readable (or hung up or failed) within the time-out, else 0; -1 with text.
std::int32_t ondrel_i2p_net_tcp_poll_readable(std::int32_t fd, std::int32_t timeout_ms);
// 1 when writable within the time-out, else 0; -1 with text.
std::int32_t ondrel_i2p_net_tcp_poll_writable(std::int32_t fd, std::int32_t timeout_ms);
// Waits until one of count descriptors reports what it is asked for, or timeout_ms pass (a
// negative time-out waits without limit; 0 only looks). events[i] is a mask of 1 (readable)
// and 2 (writable); a negative descriptor asks for nothing. revents[i] receives the mask
// reported: 1 also at end of stream, 4 when the peer hung up or the socket failed, 8 when
// the descriptor is not open; 0 for a negative one. Returns the number of descriptors that
// reported, 0 when the time-out passed or a signal came; -1 with text ("invalid poll
// arguments" for a count outside 0..65,536 or a missing array, or the text of poll).
std::int32_t ondrel_i2p_net_poll_many(const std::int32_t* fds, const std::int32_t* events, std::int32_t* revents,
                                      std::int32_t count, std::int32_t timeout_ms);
// Shuts down the sending direction. 0 or -1.
std::int32_t ondrel_i2p_net_tcp_shutdown_write(std::int32_t fd);
// Closes the descriptor. 0 or -1.
std::int32_t ondrel_i2p_net_tcp_close(std::int32_t fd);

// --- Randomness and clock -----------------------------------------------------------

// Fills buf with count bytes from the kernel's random source (getrandom, needing no
// descriptor; "/dev/urandom" only where getrandom is missing) and returns count, or -1.
std::int32_t ondrel_i2p_net_random_bytes(std::uint8_t* buf, std::int32_t count);
// Wall-clock milliseconds since 1970. Never fails.
std::uint64_t ondrel_i2p_net_unix_time_ms(void);
// Milliseconds on CLOCK_MONOTONIC (origin unspecified, never stepped). Never fails.
std::uint64_t ondrel_i2p_net_monotonic_ms(void);
// Waits ms milliseconds doing nothing (a poll on no descriptor); returns early only when a
// signal arrives. Never fails.
void ondrel_i2p_net_idle_wait(std::int32_t ms);

// --- Files and folders --------------------------------------------------------------

// The file's size. A size above 2,147,483,647 bytes fails with the EOVERFLOW text.
// -1: "invalid path length", or the text of stat.
std::int32_t ondrel_i2p_net_file_size(const std::uint8_t* path, std::int32_t path_len);
// Reads from the start of the file up to capacity bytes or its end; the count read.
// -1: "invalid path length", "invalid read_file arguments", or the text of open or read.
std::int32_t ondrel_i2p_net_read_file(const std::uint8_t* path, std::int32_t path_len, std::uint8_t* buf,
                                      std::int32_t capacity);
// Reads from offset up to capacity bytes or the end of the file; the count read.
// -1: "invalid read_file_at arguments", or the text of open or pread.
std::int32_t ondrel_i2p_net_read_file_at(const std::uint8_t* path, std::int32_t path_len, std::int64_t offset,
                                         std::uint8_t* buf, std::int32_t capacity);
// Writes all count bytes at offset, creating the file (mode 0644) when missing and
// never truncating it. 0, or -1: "invalid write_file_at arguments", or the text of
// open, pwrite or close.
std::int32_t ondrel_i2p_net_write_file_at(const std::uint8_t* path, std::int32_t path_len, std::int64_t offset,
                                          const std::uint8_t* data, std::int32_t count);
// Inside a folder tree without following links. `base` is resolved as usual (it may be,
// or pass through, a symbolic link) and must be an existing folder; `rel` is one or more
// segments separated by single "/" (none empty, "." or ".."), each opened in turn with
// O_NOFOLLOW, so a link anywhere below `base` fails ("symbolic link refused") instead of
// leading out of the tree. Only regular files are read or written ("not a regular file");
// a FIFO never makes a call wait. base_len and rel_len 1..1,023, and base + "/" + rel at
// most 1,023 bytes, else "invalid below-path arguments".
//
// Creates each folder of rel that is missing (mode 0755). 0 when every one exists
// afterwards; -1 with the text of open, mkdir, or the refusals above (ENOTDIR when a
// segment names something that is not a folder).
std::int32_t ondrel_i2p_net_mkdir_below(const std::uint8_t* base, std::int32_t base_len, const std::uint8_t* rel,
                                        std::int32_t rel_len);
// As ondrel_i2p_net_write_file_at for the file base/rel: its folders must exist already.
std::int32_t ondrel_i2p_net_write_file_below(const std::uint8_t* base, std::int32_t base_len, const std::uint8_t* rel,
                                             std::int32_t rel_len, std::int64_t offset, const std::uint8_t* data,
                                             std::int32_t count);
// As ondrel_i2p_net_read_file_at for the file base/rel.
std::int32_t ondrel_i2p_net_read_file_below(const std::uint8_t* base, std::int32_t base_len, const std::uint8_t* rel,
                                            std::int32_t rel_len, std::int64_t offset, std::uint8_t* buf,
                                            std::int32_t capacity);
// Creates the directory and its missing parents (mode 0755). 0 when the directory
// exists afterwards. -1: "invalid directory path length", the text of the failing
// mkdir, or the ENOTDIR text when the path names an existing non-directory.
std::int32_t ondrel_i2p_net_mkdir_p(const std::uint8_t* path, std::int32_t path_len);
// Writes the folder's entry names (without "." and ".."), each followed by "\n", in
// the order the system gives them, stopping before the first name that no longer
// fits. The count written, or -1: "invalid list_dir arguments", the text of opendir.
std::int32_t ondrel_i2p_net_list_dir(const std::uint8_t* path, std::int32_t path_len, std::uint8_t* buf,
                                     std::int32_t capacity);

// --- HTTPS --------------------------------------------------------------------------

// Downloads an "https://" URL with `curl` (HTTPS only, redirects included) into buf
// and returns the number of body bytes; waits for `curl` (at most 25 s). A body that
// does not fit in the buffer fails. -1: "invalid https url", "reseed URL must start
// with https://", "reseed URL contains control or whitespace character", the text of
// pipe, fork or read, or "curl HTTPS fetch failed".
std::int32_t ondrel_i2p_net_fetch_https(const std::uint8_t* url, std::int32_t url_len, std::uint8_t* buf,
                                        std::int32_t capacity);

// --- Process ------------------------------------------------------------------------

// Copies HOME into buf (no NUL) and returns its length; 0 when HOME is unset or empty,
// longer than the capacity, or the capacity is 0 or less.
std::int32_t ondrel_i2p_net_home_dir(std::uint8_t* buf, std::int32_t capacity);
// The process's soft limit of open descriptors (RLIMIT_NOFILE), at most 2,147,483,647;
// -1 with text when it cannot be read.
std::int32_t ondrel_i2p_net_descriptor_limit(void);
// The number of descriptors the process has open (from /proc/self/fd, not counting the one
// used to list them); -1 with text when they cannot be listed.
std::int32_t ondrel_i2p_net_open_descriptors(void);
// fflush(stdout).
std::int32_t ondrel_i2p_net_flush_stdout(void);

}  // extern "C"
