// The control channel of the LD_PRELOAD virtual card (libsimkms_preload.so): a Unix stream
// socket at the path the configuration's "control" line names (see sim/config.h), served by
// one thread of the preloaded process. sim/ctl/simkms-ctl is its command-line client.
//
// A client writes one command per line; each command gets its output lines followed by a line
// "ok", or a single line "error <text>". A connection may carry any number of commands; the
// channel serves one connection at a time. Indices count from 0 in the topology's order.
//
//   connect <i> [WxH[@R][*] ...]   hot-plug a monitor on connector i. Modes given (refresh 60
//                                  when absent; '*' marks the preferred one, else the first is
//                                  preferred) become the connector's; without modes it offers
//                                  the modes it offered last (the topology's at first).
//   disconnect <i>                 unplug connector i
//   fail <REQUEST> <errno> [nth] [object_id]
//                                  make the request (kernel ioctl name, with or without the
//                                  DRM_IOCTL_ prefix) fail with errno (a number or a name such
//                                  as EINVAL): its nth call from now, every call when nth is 0
//                                  or absent; object_id limits it to requests naming that object
//   fail-mmap <errno> [nth]        the same for mmap of the card
//   fail-open <errno>              opens of the card fail
//   clear-faults                   remove every fault
//   screen <crtc_index> <path>     write what the CRTC shows, PNG or PPM by the name's ending;
//                                  replies "<width>x<height>"; an inactive CRTC is an error
//   captures                       "written=<n> failed=<n> last=<path>" of the capture_dir files
//   live                           "files=<n> dumb_buffers=<n> mappings=<n> framebuffers=<n>
//                                  blobs=<n>"
//   commits                        one line per atomic commit since the last clear:
//                                  "flags=0x<hex> error=<0|ENAME> <obj>:<prop>=<value> ..." with
//                                  the properties in request order ("#<prop_id>" for an unknown
//                                  property)
//   requests                       one line per request since the last clear:
//                                  "<NAME> error=<0|ENAME> <field>=<value> ..."
//   clear-records                  forget the requests and commits recorded so far
//   vblank <crtc_index>            the pipe's vblank counter
//   property <object_id> <name>    the property's current value on the object
//   ids                            four lines: "connectors <id> ...", "encoders ...",
//                                  "crtcs ...", "planes ..."
//   standin                        the stand-in compositor (tools/standin.h) on a new file of
//                                  the card that stays open: its lines, the last "standin:
//                                  shown <W>x<H> on crtc <id>", once its picture is committed;
//                                  its last line as the error when it gave up (after 10 s of
//                                  SET_MASTER refused, or a refused request)
//   help                           the command list
#pragma once

#include <string>
#include <string_view>

#include "sim/config.h"

namespace sim
{

// Runs one command line against the installed card `card`; returns the whole reply, its last
// line "ok" or "error <text>", every line ending in '\n'.
std::string control_run(const topology &card, std::string_view line);

// Starts the thread that serves cfg.control (when set) and appends the card's records to
// cfg.log (when set). False with `error` set when the socket cannot be made.
bool control_start(const preload_config &cfg, std::string &error);

// Moves a descriptor of the preload library's own to the number k_own_fd_base or above (close
// on exec) and returns the new one; the old one is closed. Returns fd unchanged when it cannot
// be moved, and -1 for -1. The program under test then gets the descriptors it would get on the
// kernel: its card descriptor is 3 when it opens the card first.
constexpr int k_own_fd_base = 100;
int move_own_fd(int fd);

// Provided by the preload library's main part for the channel.
std::string preload_capture_status();
void preload_flush_log();

// Text forms shared by the channel and the log.
std::string format_request(const request_record &r);
std::string format_commit(const commit_record &c);

} // namespace sim
