#!/usr/bin/env node
// Local SMSC for trying the SMPP test client on a fresh machine and for the interop tests.
// It is built on the npm package `smpp` and listens on 127.0.0.1 only.
//
// Usage: node smsc.js [options]
//   --port N             TCP port on 127.0.0.1 (default 2775; 0 lets the OS choose)
//   --system-id ID       accept binds only with this system_id (others get ESME_RINVSYSID)
//   --password PW        accept binds only with this password (others get ESME_RINVPASWD)
//   --quiet              do not print a line per submit, receipt, receipt answer and optional
//                        parameter (for load runs)
//   --receipt-delay MS   wait MS milliseconds before sending a delivery receipt (default 0)
//   --receipt-tlvs       add receipted_message_id and message_state to delivery receipts
//   --receipt-style S    how delivery receipts are built (default standard), as SMSCs do it:
//                        standard  deliver_sm, text "id:... sub:... ... stat:... err:... text:..."
//                        upper     the same text with upper-case labels (ID:, SUB:, ...)
//                        tlvs      no text, only receipted_message_id and message_state
//                        mixed     text with a wrong id and stat, the right ones in the two TLVs
//                        datasm    a data_sm: the standard text in message_payload, and the TLVs
//   --queue-limit N      deliveries kept while no receiver is bound (default 100000)
//   --retry-delay MS     how long a delivery waits for its answer, and how long after an error
//                        answer it is sent again (default 3000)
//   --retries N          how many times a delivery is sent again (default 3)
//   --tls                accept only TLS connections (SMPP over TLS), with --cert and --key
//   --cert FILE          the server's certificate chain (PEM), for --tls
//   --key FILE           the server's private key (PEM), for --tls
//   --help               print this text
//
// When ready it prints "listening 127.0.0.1:PORT". It then prints one line per event, each
// starting with the event's name and followed by key=value fields, texts last and JSON-quoted:
//   connect session=1 peer=127.0.0.1:40522
//   bind_transmitter session=1 seq=1 system_id=test status=0 password=secret system_type=
//   submit_sm session=1 seq=2 status=0 id=0000000001 src=1234 dst=555 validity=
//       registered_delivery=0x11 data_coding=0 length=5 text="Hello"
//   sent deliver_sm session=2 seq=1 receipt=0000000001 src=555 dst=1234
//   deliver_sm_resp session=2 seq=1 status=0 for=receipt
//   close session=1
// Every PDU received is printed under its own name (responses included, with their sequence
// numbers); every request the SMSC starts itself is printed as "sent <name>".
// Each optional parameter of a PDU received follows its line, in the order they came: the tag and
// the length it declares, its SMPP 3.4 name (unknown for any other tag, vendor ones included) and
// its value as hex of the bytes as they came (empty when it has none):
//   tlv session=1 seq=2 tag=0x0204 name=user_message_reference length=2 value=0x0007
// A parameter whose length runs past the end of the PDU gives the bytes there are, with
// "missing=N" before its value; one to three bytes left after the last parameter, too few for a
// tag and length, are printed as "tlv_rest session=1 seq=2 length=N value=0x...".
// query_sm, cancel_sm and replace_sm are answered for the messages accepted in this run, found by
// message_id alone (an empty one finds none):
//   query_sm session=1 seq=3 id=0000000001 status=0 state=2
//   cancel_sm session=1 seq=4 id=0000000001 status=0
//   replace_sm session=1 seq=5 id=0000000001 status=0 length=3 text="new"
// or with ESME_RQUERYFAIL (103), ESME_RCANCELFAIL (17) or ESME_RREPLACEFAIL (19) and a reason
// (unknown_message_id; cancelled; already_cancelled; receipt_delivered). A message is delivered
// at once (state 2, DELIVERED) and can be cancelled until every receipt it asked for has been
// answered with status 0; a cancelled one (state 4, DELETED) gets no receipt from then on and
// cannot be replaced. replace_sm changes only the text: later receipts repeat the new one.
// Each submitted message is also printed whole, as the npm package reads its text (data_coding 0
// as the GSM alphabet, 3 Latin-1, 8 UCS-2; message_payload when there is one), once its last part
// has come when it is concatenated (user data header 0x00 or 0x08, or SAR optional parameters):
//   message session=1 id=0000000003 src=1234 dst=555 parts=3 ref=17 concat=udh data_coding=0
//       text="Hello ..."
// Parts are held at most 10 minutes and at most 1000 messages; past that a message is dropped
// with "concat_dropped ... received=N reason=...".
//
// Commands on standard input, one per line:
//   deliver <src> <dst> <text>  send an MO deliver_sm (esm_class 0) to every bound receiver
//   datasm <src> <dst> <text>   send an MO data_sm (text in message_payload) to every receiver
//   datasmport <src> <dst> <text>  the same with source_port and destination_port before
//                               message_payload
//   ucs2 <src> <dst> <text>     send an MO deliver_sm in UCS-2 (data_coding 8)
//   parts <src> <dst> <n> <text>  send the text as a concatenated MO message: deliver_sm parts of
//                               n characters, each with a user data header (esm_class 0x40);
//                               UCS-2 when the text is not all ASCII
//   deliverhex <src> <dst> <hex>  send an MO deliver_sm whose short message is these bytes
//   concat <udh|udh16|sar> <src> <dst> <text>  send the text as a concatenated MO message, coded
//                               by the npm package: GSM (data_coding 0) when every character
//                               fits, otherwise UCS-2; parts of 153 septets or 67 UCS-2 units
//                               (152 or 66 with udh16), tied by an 8-bit or 16-bit reference in a
//                               user data header, or by SAR optional parameters
//   receipt <style> <src> <dst> <id> [stat]  send a delivery receipt in one of the styles of
//                               --receipt-style for message id <id> (stat default DELIVRD)
//   enquire                     send enquire_link on every session
//   unbind                      send unbind on every session; each is closed on its unbind_resp
//   close                       drop every session at once, without unbind
//   raw <hex>                   write these bytes as they are on every session
//   trickle <hex>               the same, one byte per write (over TLS, one byte per record)
//   burst <count> <src> <dst>   send count MO deliver_sm ("burst 1", ...) to every receiver at once
//   stats                       print one line of counters
//   quit                        close every session and exit 0
//   help                        list the commands
// An MO message or receipt for which no receiver is bound is queued and sent to the next receiver
// that binds; one that a receiver leaves unanswered when its session closes is queued again.
// One answered with an error status is sent again after --retry-delay, one not answered within
// --retry-delay is sent again at once, on the same session while it is bound, at most --retries
// times; an answer with status 0, even a late one to an earlier attempt, ends the retries:
//   retry deliver_sm session=2 seq=4 attempt=1 reason=status:0x00000058 receipt=0000000001
//       src=555 dst=1234
//   retry deliver_sm session=2 seq=5 attempt=2 reason=no_answer receipt=0000000001 ...
//   gave_up deliver_sm session=2 seq=7 attempt=3 reason=no_answer receipt=0000000001 ...
// (data_sm deliveries alike; MO messages end with src, dst and text as on their "sent" line).
// A receipt goes to one receiver bound with the submitter's system_id, or any bound receiver when
// none is; MO messages go to every bound receiver.
//
// When standard input is a pipe or a terminal its end (the driving process has gone, or Ctrl-D)
// stops the SMSC. Started with standard input from /dev/null or a file it runs on until SIGINT or
// SIGTERM.
'use strict';

const fs = require('fs');
const path = require('path');
const readline = require('readline');
const smpp = require(path.join(__dirname, 'node_modules', 'smpp'));

// The usage text is the comment block at the top of this file, so the two never disagree.
function usageText() {
  const lines = fs.readFileSync(__filename, 'utf8').split('\n').slice(1);
  const end = lines.findIndex((line) => !line.startsWith('//'));
  const block = lines.slice(0, end < 0 ? lines.length : end);
  return block.map((l) => l.replace(/^\/\/ ?/, '')).join('\n');
}

// ---------------------------------------------------------------------------------------------
// Options.

const RECEIPT_STYLES = ['standard', 'upper', 'tlvs', 'mixed', 'datasm'];

function parseOptions(argv) {
  const opts = {
    port: 2775,
    systemId: null,
    password: null,
    quiet: false,
    receiptDelay: 0,
    receiptTlvs: false,
    receiptStyle: 'standard',
    queueLimit: 100000,
    retryDelay: 3000,
    retries: 3,
  };
  const needValue = (i, name) => {
    if (i + 1 >= argv.length) throw new Error(`${name} needs a value`);
    return argv[i + 1];
  };
  const number = (text, name, max) => {
    if (!/^\d+$/.test(text) || Number(text) > max) throw new Error(`bad ${name}: ${text}`);
    return Number(text);
  };
  for (let i = 0; i < argv.length; i++) {
    let arg = argv[i];
    let inline = null;
    const eq = arg.indexOf('=');
    if (arg.startsWith('--') && eq > 0) {
      inline = arg.slice(eq + 1);
      arg = arg.slice(0, eq);
    }
    const value = () => {
      if (inline !== null) return inline;
      const v = needValue(i, arg);
      i++;
      return v;
    };
    switch (arg) {
      case '--port': opts.port = number(value(), 'port', 65535); break;
      case '--system-id': opts.systemId = value(); break;
      case '--password': opts.password = value(); break;
      case '--quiet': opts.quiet = true; break;
      case '--receipt-delay': opts.receiptDelay = number(value(), 'receipt delay', 3600000); break;
      case '--receipt-tlvs': opts.receiptTlvs = true; break;
      case '--receipt-style': {
        const style = value();
        if (!RECEIPT_STYLES.includes(style)) throw new Error(`bad receipt style: ${style}`);
        opts.receiptStyle = style;
        break;
      }
      case '--queue-limit': opts.queueLimit = number(value(), 'queue limit', 1e9); break;
      case '--retry-delay': opts.retryDelay = number(value(), 'retry delay', 3600000); break;
      case '--retries': opts.retries = number(value(), 'retries', 1000); break;
      case '--tls': opts.tls = true; break;
      case '--cert': opts.cert = value(); break;
      case '--key': opts.key = value(); break;
      case '--help': case '-h': opts.help = true; break;
      default: throw new Error(`unknown option ${argv[i]}`);
    }
  }
  if (opts.tls && (!opts.cert || !opts.key)) throw new Error('--tls needs --cert and --key');
  if (!opts.tls && (opts.cert || opts.key)) throw new Error('--cert and --key need --tls');
  return opts;
}

let opts;
try {
  opts = parseOptions(process.argv.slice(2));
} catch (e) {
  process.stderr.write(`smsc: ${e.message}\n\n${usageText()}\n`);
  process.exit(2);
}
if (opts.help) {
  process.stdout.write(usageText() + '\n');
  process.exit(0);
}

// ---------------------------------------------------------------------------------------------
// Output. Lines are gathered and written in one synchronous write per turn of the event loop, so
// a load run costs one system call per batch instead of one per line, and nothing is lost when
// the process exits right after printing.

let outLines = [];
let outScheduled = false;

function writeAll(fd, text) {
  let buf = Buffer.from(text, 'utf8');
  while (buf.length > 0) {
    try {
      const n = fs.writeSync(fd, buf);
      buf = buf.subarray(n);
    } catch (e) {
      if (e.code === 'EAGAIN') {
        // The reader is slow and the pipe is non-blocking: wait a little and try again.
        Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 2);
        continue;
      }
      if (e.code === 'EPIPE') {
        // Whoever read our output has gone; nobody can drive or observe this SMSC any more.
        process.exit(0);
      }
      throw e;
    }
  }
}

function flushOut() {
  outScheduled = false;
  if (outLines.length === 0) return;
  const text = outLines.join('\n') + '\n';
  outLines = [];
  writeAll(1, text);
}

// The PDU being handled, whose optional parameters are printed right after the first line its
// handler prints (its own line); a handler that prints nothing (--quiet) prints none of them.
let tlvsFollow = null;

function out(line) {
  outLines.push(line);
  if (tlvsFollow) {
    const {conn, pdu} = tlvsFollow;
    tlvsFollow = null;
    for (const l of tlvLines(conn, pdu)) outLines.push(l);
  }
  if (!outScheduled) {
    outScheduled = true;
    process.nextTick(flushOut);
  }
}

const quoted = (buf) => JSON.stringify(Buffer.isBuffer(buf) ? buf.toString('latin1') : String(buf));
const hex8 = (n) => '0x' + (n >>> 0).toString(16).padStart(8, '0');

// ---------------------------------------------------------------------------------------------
// The npm package decodes times into Date objects and texts through the GSM alphabet. This SMSC
// reports and compares the exact bytes a client sent, so those decoding filters are switched off:
// times stay the strings on the wire and texts stay byte buffers.

for (const name of Object.keys(smpp.commands)) {
  const params = smpp.commands[name].params || {};
  for (const key of Object.keys(params)) delete params[key].filter;
}
delete smpp.tlvs.message_payload.filter;

// The package accepts any command_length up to its maximum; one below the 16-byte header can
// never be a PDU and would leave the stream unreadable, so it is refused like an oversized one.
const originalCommandLength = smpp.PDU.commandLength;
smpp.PDU.commandLength = function (stream) {
  const length = originalCommandLength.call(this, stream);
  if (length !== false && length < 16) {
    throw new Error(`PDU length ${length} below the 16-byte header`);
  }
  return length;
};

// Optional parameters are reported as the bytes that came, whatever the package makes of them,
// so each decoded PDU keeps its raw buffer (not enumerable: the package walks a PDU's own keys
// when it encodes or filters one).
const originalFromBuffer = smpp.PDU.prototype.fromBuffer;
smpp.PDU.prototype.fromBuffer = function (buffer) {
  originalFromBuffer.call(this, buffer);
  Object.defineProperty(this, 'raw', {value: buffer, enumerable: false});
};

// The package reads a standard optional parameter as its type, past the parameter's own length
// when that is shorter than the type (an int16 sent in one byte at the end of a PDU throws, and
// the session would end). Each read is kept within the parameter's bytes, and one that does not
// fit them gives those bytes as they are. The package's decoding filters go too, as above.
for (const def of Object.values(smpp.tlvs)) {
  delete def.filter;
  const type = def.type;
  def.type = Object.assign(Object.create(type), {
    read(buffer, offset, length) {
      const end = Math.min(offset + length, buffer.length);
      try {
        return type.read(buffer.subarray(0, end), offset, length);
      } catch (e) {
        return buffer.subarray(offset, end);
      }
    },
  });
}

// The optional parameters of SMPP 3.4 by tag; any other tag (vendor ones included) is reported
// as unknown.
const TLV_NAMES = new Map(Object.entries({
  0x0005: 'dest_addr_subunit', 0x0006: 'dest_network_type', 0x0007: 'dest_bearer_type',
  0x0008: 'dest_telematics_id', 0x000D: 'source_addr_subunit', 0x000E: 'source_network_type',
  0x000F: 'source_bearer_type', 0x0010: 'source_telematics_id', 0x0017: 'qos_time_to_live',
  0x0019: 'payload_type', 0x001D: 'additional_status_info_text', 0x001E: 'receipted_message_id',
  0x0030: 'ms_msg_wait_facilities', 0x0201: 'privacy_indicator', 0x0202: 'source_subaddress',
  0x0203: 'dest_subaddress', 0x0204: 'user_message_reference', 0x0205: 'user_response_code',
  0x020A: 'source_port', 0x020B: 'destination_port', 0x020C: 'sar_msg_ref_num',
  0x020D: 'language_indicator', 0x020E: 'sar_total_segments', 0x020F: 'sar_segment_seqnum',
  0x0210: 'sc_interface_version', 0x0302: 'callback_num_pres_ind', 0x0303: 'callback_num_atag',
  0x0304: 'number_of_messages', 0x0381: 'callback_num', 0x0420: 'dpf_result', 0x0421: 'set_dpf',
  0x0422: 'ms_availability_status', 0x0423: 'network_error_code', 0x0424: 'message_payload',
  0x0425: 'delivery_failure_reason', 0x0426: 'more_messages_to_send', 0x0427: 'message_state',
  0x0501: 'ussd_service_op', 0x1201: 'display_time', 0x1203: 'sms_signal', 0x1204: 'ms_validity',
  0x130C: 'alert_on_message_delivery', 0x1380: 'its_reply_type', 0x1383: 'its_session_info',
}).map(([tag, name]) => [Number(tag), name]));

const hexBytes = (b) => (b.length > 0 ? '0x' + b.toString('hex') : '');

// One line per optional parameter of a received PDU, in the order they came: tag, name, the
// length it declares and its value as hex. The mandatory fields are stepped over exactly as the
// package read them, so these are the parameters it saw. A parameter whose length runs past the
// end of the PDU gives the bytes there are and how many are missing; one to three bytes too few
// for a tag and length are reported as tlv_rest.
function tlvLines(conn, pdu) {
  const raw = pdu.raw;
  if (!raw || pdu.command === 'unknown') return [];
  const end = Math.min(raw.length, pdu.command_length);
  const params = smpp.commands[pdu.command].params || {};
  let offset = 16;
  for (const key of Object.keys(params)) {
    if (offset >= end) break;
    offset += params[key].type.size(params[key].type.read(raw, offset));
  }
  const head = `session=${conn.number} seq=${pdu.sequence_number}`;
  const lines = [];
  while (offset + 4 <= end) {
    const tag = raw.readUInt16BE(offset);
    const length = raw.readUInt16BE(offset + 2);
    const value = raw.subarray(offset + 4, Math.min(offset + 4 + length, end));
    const missing = length - value.length;
    lines.push(`tlv ${head} tag=0x${tag.toString(16).padStart(4, '0')} ` +
      `name=${TLV_NAMES.get(tag) || 'unknown'} length=${length}` +
      (missing > 0 ? ` missing=${missing}` : '') + ` value=${hexBytes(value)}`);
    offset += 4 + length;
  }
  if (offset < end) {
    lines.push(`tlv_rest ${head} length=${end - offset} value=${hexBytes(raw.subarray(offset, end))}`);
  }
  return lines;
}

// ---------------------------------------------------------------------------------------------
// State.

const ESME = smpp.errors;
const stats = {
  sessions: 0,
  submit_sm: 0,
  submit_multi: 0,
  receipts_sent: 0,
  receipts_answered: 0,
  mo_sent: 0,
  mo_answered: 0,
  rejected: 0,
  bad_input: 0,
  retries: 0,
  gave_up: 0,
};

const sessions = new Map(); // session number -> Conn
let nextSessionNumber = 1;
let nextMessageNumber = 1;
// Messages accepted, by id, for query_sm; the oldest are forgotten past this many.
const messages = new Map();
const MESSAGE_MEMORY = 1000000;
// Deliveries waiting for a receiver: {kind, systemId, options, command, label}.
const pendingDeliveries = [];
let queueFullReported = false;
let receiverRoundRobin = 0;
let stopping = false;

function newMessageId() {
  // Message ids are lower-case hexadecimal, ten characters, and unique for this run.
  return (nextMessageNumber++).toString(16).padStart(10, '0');
}

function smppTime(date) {
  // Absolute SMPP time YYMMDDhhmmsstnnp in local time with the offset to UTC in quarter hours.
  const two = (n) => String(n).padStart(2, '0');
  const offset = -date.getTimezoneOffset();
  const quarters = Math.min(48, Math.floor(Math.abs(offset) / 15));
  return two(date.getFullYear() % 100) + two(date.getMonth() + 1) + two(date.getDate()) +
    two(date.getHours()) + two(date.getMinutes()) + two(date.getSeconds()) +
    String(Math.floor(date.getMilliseconds() / 100)) + two(quarters) + (offset < 0 ? '-' : '+');
}

function receiptDate(date) {
  // The receipt text's dates: YYMMDDhhmm in local time.
  const two = (n) => String(n).padStart(2, '0');
  return two(date.getFullYear() % 100) + two(date.getMonth() + 1) + two(date.getDate()) +
    two(date.getHours()) + two(date.getMinutes());
}

class Conn {
  constructor(session) {
    this.number = nextSessionNumber++;
    this.session = session;
    this.socket = session.socket;
    this.peer = `${this.socket.remoteAddress}:${this.socket.remotePort}`;
    this.bound = null; // 'receiver' | 'transmitter' | 'transceiver'
    this.systemId = '';
    // Requests this SMSC sent and whose answer has not come yet, by sequence number.
    this.outstanding = new Map();
    this.corked = false;
    this.closed = false;
    this.unbindTimer = null;
  }

  canReceive() {
    return this.bound === 'receiver' || this.bound === 'transceiver';
  }

  canSubmit() {
    return this.bound === 'transmitter' || this.bound === 'transceiver';
  }

  // Holds writes until the end of this turn of the event loop, so that the answers to a burst
  // of pipelined requests leave in one write instead of one each.
  cork() {
    if (this.corked || this.closed) return;
    this.corked = true;
    this.socket.cork();
    process.nextTick(() => {
      this.corked = false;
      if (!this.socket.destroyed) this.socket.uncork();
    });
  }

  send(pdu) {
    if (this.closed) return false;
    this.cork();
    return this.session.send(pdu);
  }

  // Sends a request of this SMSC's own and remembers it until its answer arrives.
  request(command, options, record) {
    const pdu = new smpp.PDU(command, options);
    if (!this.send(pdu)) return null;
    this.outstanding.set(pdu.sequence_number, record || {kind: command});
    return pdu.sequence_number;
  }

  close(how) {
    if (this.closed) return;
    if (how === 'destroy') this.socket.destroy();
    else {
      this.socket.end();
      // A peer that never closes its side is cut off after a while.
      setTimeout(() => this.socket.destroy(), 2000).unref();
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Deliveries to receivers: receipts and MO messages.

function boundReceivers() {
  return [...sessions.values()].filter((c) => c.canReceive() && !c.closed);
}

function pickReceiver(systemId) {
  const all = boundReceivers();
  if (all.length === 0) return null;
  const same = all.filter((c) => c.systemId === systemId);
  const choice = same.length > 0 ? same : all;
  receiverRoundRobin = (receiverRoundRobin + 1) % choice.length;
  return choice[receiverRoundRobin];
}

// A delivery is one MO message or receipt for one receiver. It is in exactly one place at a
// time, told by item.state: 'queued' in pendingDeliveries; 'sent' on session item.conn as
// sequence number item.seq, with item.timer waiting for its answer; 'waiting' to be sent again
// when item.timer fires; or 'done' (answered with status 0, given up, dropped, or its message
// cancelled). Only the functions below move it, so none is sent twice at once and none is lost.
// The sequence numbers of its earlier attempts stay in their session's outstanding map, so that a
// late answer is still recognised: status 0 there ends the retries too.

function finish(item) {
  item.state = 'done';
  if (item.timer) clearTimeout(item.timer);
  item.timer = null;
}

const cancelled = (item) => !!(item.record && item.record.cancelled);

function queueDelivery(item) {
  if (cancelled(item)) return finish(item);
  if (pendingDeliveries.length >= opts.queueLimit) {
    if (!queueFullReported) {
      out(`queue_full limit=${opts.queueLimit} dropping=${item.label}`);
      queueFullReported = true;
    }
    finish(item);
    return;
  }
  item.state = 'queued';
  item.conn = null;
  pendingDeliveries.push(item);
  if (item.kind !== 'receipt' || !opts.quiet) {
    out(`queued ${item.label} pending=${pendingDeliveries.length}`);
  }
}

// What a delivery's lines end with: its receipt's message id, or the MO message's addresses
// and text.
function deliveryDetail(item) {
  const addresses = `src=${item.options.source_addr} dst=${item.options.destination_addr}`;
  return item.kind === 'receipt' ? `receipt=${item.messageId} ${addresses}` :
    `${addresses} text=${quoted(item.text)}`;
}

// Sends a delivery on a session; false when the session can no longer send.
function deliverTo(conn, item) {
  if (cancelled(item)) {
    finish(item);
    return true;
  }
  const seq = conn.request(item.command, Object.assign({}, item.options), item);
  if (seq === null) return false;
  item.state = 'sent';
  item.conn = conn;
  item.seq = seq;
  item.timer = setTimeout(() => onNoAnswer(item, conn, seq), opts.retryDelay);
  if (item.kind === 'receipt') stats.receipts_sent++;
  else stats.mo_sent++;
  if (item.retryReason) {
    out(`retry ${item.command} session=${conn.number} seq=${seq} attempt=${item.attempt} ` +
      `reason=${item.retryReason} ${deliveryDetail(item)}`);
    item.retryReason = null;
  } else if (item.kind !== 'receipt' || !opts.quiet) {
    out(`sent ${item.command} session=${conn.number} seq=${seq} ${deliveryDetail(item)}`);
  }
  return true;
}

function onNoAnswer(item, conn, seq) {
  if (item.state !== 'sent' || item.conn !== conn || item.seq !== seq) return;
  item.timer = null;
  attemptFailed(item, 'no_answer');
}

// The answer to a delivery's current or an earlier attempt.
function onDeliveryAnswer(item, conn, pdu) {
  if (item.state === 'done') return;
  if (pdu.command_status === 0) {
    if (item.record) item.record.receiptsLeft--;
    finish(item);
    return;
  }
  if (item.state !== 'sent' || item.conn !== conn || item.seq !== pdu.sequence_number) return;
  clearTimeout(item.timer);
  item.timer = null;
  attemptFailed(item, `status:${hex8(pdu.command_status)}`);
}

// The current attempt was answered with an error or not at all: send the delivery again after
// the retry delay (at once when the delay was spent waiting for the answer), or give up.
function attemptFailed(item, reason) {
  if (cancelled(item)) return finish(item);
  const attempt = item.attempt || 0;
  if (attempt >= opts.retries) {
    stats.gave_up++;
    out(`gave_up ${item.command} session=${item.conn.number} seq=${item.seq} attempt=${attempt} ` +
      `reason=${reason} ${deliveryDetail(item)}`);
    finish(item);
    return;
  }
  item.retryReason = reason;
  if (reason === 'no_answer') {
    sendAgain(item);
    return;
  }
  item.state = 'waiting';
  item.timer = setTimeout(() => {
    item.timer = null;
    sendAgain(item);
  }, opts.retryDelay);
}

// Sends a delivery again: on its session while that can still take it, otherwise the way a new
// one of its kind goes (or to the queue when no receiver is bound).
function sendAgain(item) {
  item.attempt = (item.attempt || 0) + 1;
  stats.retries++;
  const last = item.conn;
  let conn = last && !last.closed && last.canReceive() ? last : null;
  if (!conn) conn = item.kind === 'receipt' ? pickReceiver(item.systemId) : boundReceivers()[0];
  if (!conn || !deliverTo(conn, item)) queueDelivery(item);
}

function routeReceipt(item) {
  if (cancelled(item)) return finish(item);
  const conn = pickReceiver(item.systemId);
  if (!conn || !deliverTo(conn, item)) queueDelivery(item);
}

function flushPending(conn) {
  // Hands the queued deliveries to a receiver that has just bound.
  if (pendingDeliveries.length === 0) return;
  const items = pendingDeliveries.splice(0, pendingDeliveries.length);
  queueFullReported = false;
  for (const item of items) {
    if (!deliverTo(conn, item)) queueDelivery(item);
  }
}

// The SMPP message_state of a receipt's stat word.
const MESSAGE_STATES = {ENROUTE: 1, DELIVRD: 2, EXPIRED: 3, DELETED: 4, UNDELIV: 5, ACCEPTD: 6,
  UNKNOWN: 7, REJECTD: 8};

// A delivery receipt in one of the RECEIPT_STYLES, to be sent to a receiver of systemId.
function receiptItem(style, systemId, messageId, source, destination, text, submitted, stat) {
  const done = new Date();
  const L = (label) => (style === 'upper' ? label.toUpperCase() : label);
  // The mixed style's text disagrees with its optional parameters.
  const mixed = style === 'mixed';
  const body = `${L('id:')}${mixed ? '0' : messageId} ${L('sub:')}001 ${L('dlvrd:')}001 ` +
    `${L('submit date:')}${receiptDate(submitted)} ${L('done date:')}${receiptDate(done)} ` +
    `${L('stat:')}${mixed ? 'UNKNOWN' : stat} ${L('err:')}000 ${L('text:')}`;
  // The receipt repeats the first 20 bytes of the message, as SMSCs commonly do.
  const receiptText = Buffer.concat([Buffer.from(body, 'latin1'), text.subarray(0, 20)]);
  const options = {
    source_addr: destination,
    destination_addr: source,
    esm_class: 0x04,
    data_coding: 0,
  };
  let command = 'deliver_sm';
  if (style === 'datasm') {
    command = 'data_sm';
    options.registered_delivery = 0;
    options.message_payload = receiptText;
  } else {
    options.short_message = style === 'tlvs' ? Buffer.alloc(0) : receiptText;
  }
  if (opts.receiptTlvs || style === 'tlvs' || style === 'mixed' || style === 'datasm') {
    options.receipted_message_id = messageId;
    options.message_state = MESSAGE_STATES[stat] || 7;
  }
  return {
    kind: 'receipt',
    command,
    systemId,
    messageId,
    options,
    label: `receipt=${messageId}`,
  };
}

// A receipt for an accepted message, built when it is due: its text is the message's as it is
// then (replace_sm may have changed it) and its done date the time of delivery.
function makeReceipt(conn, messageId, record, source, destination) {
  const item = receiptItem(opts.receiptStyle, conn.systemId, messageId, source, destination,
    record.text, record.submitted, 'DELIVRD');
  item.record = record;
  return item;
}

function scheduleReceipt(makeItem) {
  if (opts.receiptDelay > 0) setTimeout(() => routeReceipt(makeItem()), opts.receiptDelay);
  else routeReceipt(makeItem());
}

function wantsReceipt(registeredDelivery) {
  // Bits 0-1: 01 asks for a receipt on success or failure, 10 on failure only. Every message
  // here is delivered, so only 01 gives one.
  return ((registeredDelivery || 0) & 0x03) === 0x01;
}

// The record of an accepted message: when it came, the start of its text (all a receipt
// repeats), how many receipts it is owed and how many of those no receiver has yet taken with
// status 0, and whether it was cancelled.
function remember(id, text, submitted, destinations, registeredDelivery) {
  const owed = wantsReceipt(registeredDelivery) ? destinations : 0;
  const record = {submitted, done: submitted, destinations, text: Buffer.from(text.subarray(0, 20)),
    receiptsOwed: owed, receiptsLeft: owed, cancelled: false};
  messages.set(id, record);
  if (messages.size > MESSAGE_MEMORY) messages.delete(messages.keys().next().value);
  return record;
}

// ---------------------------------------------------------------------------------------------
// PDU handlers. Each gets the connection and the decoded PDU; it answers and prints.

function str(v) {
  if (v === undefined || v === null) return '';
  return Buffer.isBuffer(v) ? v.toString('latin1') : String(v);
}

function buf(v) {
  if (Buffer.isBuffer(v)) return v;
  return Buffer.from(str(v), 'latin1');
}

function onBind(conn, pdu) {
  const role = pdu.command.replace('bind_', '');
  const systemId = str(pdu.system_id);
  let status = ESME.ESME_ROK;
  if (conn.bound) status = ESME.ESME_RALYBND;
  else if (opts.systemId !== null && systemId !== opts.systemId) status = ESME.ESME_RINVSYSID;
  else if (opts.password !== null && str(pdu.password) !== opts.password) {
    status = ESME.ESME_RINVPASWD;
  }
  conn.send(pdu.response({command_status: status, system_id: 'localsmsc'}));
  out(`${pdu.command} session=${conn.number} seq=${pdu.sequence_number} system_id=${systemId} ` +
    `status=${status} password=${str(pdu.password)} system_type=${str(pdu.system_type)}`);
  if (status !== ESME.ESME_ROK) return;
  conn.bound = role;
  conn.systemId = systemId;
  if (conn.canReceive()) flushPending(conn);
}

function rejectUnbound(conn, pdu) {
  if (conn.canSubmit()) return false;
  stats.rejected++;
  conn.send(pdu.response({command_status: ESME.ESME_RINVBNDSTS}));
  out(`${pdu.command} session=${conn.number} seq=${pdu.sequence_number} ` +
    `status=${ESME.ESME_RINVBNDSTS} reason=not_bound_to_submit`);
  return true;
}

function onSubmitSm(conn, pdu) {
  if (rejectUnbound(conn, pdu)) return;
  stats.submit_sm++;
  const id = newMessageId();
  const submitted = new Date();
  const text = buf(pdu.short_message);
  const src = str(pdu.source_addr);
  const dst = str(pdu.destination_addr);
  conn.send(pdu.response({message_id: id}));
  const record = remember(id, text, submitted, 1, pdu.registered_delivery);
  if (!opts.quiet) {
    out(`submit_sm session=${conn.number} seq=${pdu.sequence_number} status=0 id=${id} ` +
      `src=${src} dst=${dst} validity=${str(pdu.validity_period)} ` +
      `registered_delivery=0x${(pdu.registered_delivery || 0).toString(16).padStart(2, '0')} ` +
      `data_coding=${pdu.data_coding || 0} length=${text.length} text=${quoted(text)}`);
    reportMessage(conn, pdu, id, src, dst);
  }
  if (record.receiptsOwed > 0) scheduleReceipt(() => makeReceipt(conn, id, record, src, dst));
}

function onSubmitMulti(conn, pdu) {
  if (rejectUnbound(conn, pdu)) return;
  stats.submit_multi++;
  const id = newMessageId();
  const submitted = new Date();
  const text = buf(pdu.short_message);
  const src = str(pdu.source_addr);
  const dests = (pdu.dest_address || []).map((d) =>
    ('dl_name' in d ? str(d.dl_name) : str(d.destination_addr)));
  // Every destination is accepted, so the answer lists no unsuccessful ones.
  conn.send(pdu.response({message_id: id, unsuccess_sme: []}));
  const record = remember(id, text, submitted, dests.length, pdu.registered_delivery);
  if (!opts.quiet) {
    out(`submit_multi session=${conn.number} seq=${pdu.sequence_number} status=0 id=${id} ` +
      `src=${src} dests=${dests.length} dst=${dests.join(',')} ` +
      `validity=${str(pdu.validity_period)} ` +
      `registered_delivery=0x${(pdu.registered_delivery || 0).toString(16).padStart(2, '0')} ` +
      `data_coding=${pdu.data_coding || 0} length=${text.length} text=${quoted(text)}`);
    reportMessage(conn, pdu, id, src, dests.join(','));
  }
  if (record.receiptsOwed > 0) {
    for (const dst of dests) scheduleReceipt(() => makeReceipt(conn, id, record, src, dst));
  }
}

// ---------------------------------------------------------------------------------------------
// Submitted messages as the npm package reads them, concatenated ones joined.

const CONCAT_MAX_MESSAGES = 1000;
const CONCAT_MAX_AGE_MS = 10 * 60 * 1000;
const concatHeld = new Map(); // key -> {first, src, dst, ref, total, kind, dataCoding, parts, have}

// The package's own reading of user data: {udh: [elements], text}.
function packageText(dataCoding, esmClass, bytes) {
  const r = smpp.filters.message.decode.call({data_coding: dataCoding, esm_class: esmClass}, bytes);
  const text = typeof r.message === 'string' ? r.message : buf(r.message).toString('latin1');
  return {udh: r.udh || [], text};
}

// The concatenation a part names, or null: a header element first, then SAR values.
function concatOf(pdu, udh) {
  let c = null;
  for (const e of udh) {
    if (e[0] === 0x00 && e[1] === 3 && e.length >= 5) c = {ref: e[2], total: e[3], seq: e[4], kind: 'udh'};
    if (e[0] === 0x08 && e[1] === 4 && e.length >= 6) {
      c = {ref: e.readUInt16BE(2), total: e[4], seq: e[5], kind: 'udh16'};
    }
  }
  if (!c && pdu.sar_total_segments) {
    c = {ref: pdu.sar_msg_ref_num || 0, total: pdu.sar_total_segments,
      seq: pdu.sar_segment_seqnum || 0, kind: 'sar'};
  }
  return c && c.total >= 1 && c.seq >= 1 && c.seq <= c.total ? c : null;
}

function dropConcat(key, reason) {
  const m = concatHeld.get(key);
  concatHeld.delete(key);
  out(`concat_dropped src=${m.src} dst=${m.dst} ref=${m.ref} concat=${m.kind} parts=${m.total} ` +
    `received=${m.have} reason=${reason}`);
}

function reportMessage(conn, pdu, id, src, dst) {
  const dataCoding = pdu.data_coding || 0;
  const payload = pdu.message_payload;
  const bytes = Buffer.isBuffer(payload) && payload.length > 0 ? payload : buf(pdu.short_message);
  const {udh, text} = packageText(dataCoding, pdu.esm_class || 0, bytes);
  const part = concatOf(pdu, udh);
  const head = `message session=${conn.number} id=${id} src=${src} dst=${dst}`;
  if (!part) {
    out(`${head} parts=1 data_coding=${dataCoding} text=${quoted(text)}`);
    return;
  }
  const now = Date.now();
  for (const [key, m] of concatHeld) {
    if (now - m.first >= CONCAT_MAX_AGE_MS) dropConcat(key, 'held_10_minutes');
  }
  const key = [conn.systemId, src, dst, part.kind, part.ref, part.total].join('|');
  let m = concatHeld.get(key);
  if (!m) {
    if (concatHeld.size >= CONCAT_MAX_MESSAGES) {
      dropConcat(concatHeld.keys().next().value, `more_than_${CONCAT_MAX_MESSAGES}_messages`);
    }
    m = {first: now, src, dst, ref: part.ref, total: part.total, kind: part.kind, dataCoding,
      parts: new Array(part.total), have: 0};
    concatHeld.set(key, m);
  }
  if (m.parts[part.seq - 1] !== undefined) return; // a part seen again
  m.parts[part.seq - 1] = text;
  if (++m.have < m.total) return;
  concatHeld.delete(key);
  out(`${head} parts=${m.total} ref=${m.ref} concat=${m.kind} data_coding=${m.dataCoding} ` +
    `text=${quoted(m.parts.join(''))}`);
}

function onDataSmFromClient(conn, pdu) {
  if (rejectUnbound(conn, pdu)) return;
  const id = newMessageId();
  const submitted = new Date();
  const text = buf(pdu.message_payload);
  conn.send(pdu.response({message_id: id}));
  const record = remember(id, text, submitted, 1, pdu.registered_delivery);
  out(`data_sm session=${conn.number} seq=${pdu.sequence_number} status=0 id=${id} ` +
    `src=${str(pdu.source_addr)} dst=${str(pdu.destination_addr)} length=${text.length} ` +
    `text=${quoted(text)}`);
  if (record.receiptsOwed > 0) {
    scheduleReceipt(() => makeReceipt(conn, id, record, str(pdu.source_addr),
      str(pdu.destination_addr)));
  }
}

function onQuerySm(conn, pdu) {
  if (rejectUnbound(conn, pdu)) return;
  const id = str(pdu.message_id);
  const record = messages.get(id);
  if (!record) {
    conn.send(pdu.response({command_status: ESME.ESME_RQUERYFAIL}));
    out(`query_sm session=${conn.number} seq=${pdu.sequence_number} id=${id} ` +
      `status=${ESME.ESME_RQUERYFAIL} reason=unknown_message_id`);
    return;
  }
  // Every accepted message is delivered at once, so its state is DELIVERED (2), or DELETED (4)
  // once it was cancelled.
  const state = record.cancelled ? 4 : 2;
  conn.send(pdu.response({message_id: id, final_date: smppTime(record.done), message_state: state,
    error_code: 0}));
  out(`query_sm session=${conn.number} seq=${pdu.sequence_number} id=${id} status=0 state=${state}`);
}

// cancel_sm takes back a message that still waits for a receipt: one that owes none, or whose
// receipts have not all been taken with status 0. A cancelled message gets no receipt from then
// on; those queued are dropped, and one on its way is not sent again.
function onCancelSm(conn, pdu) {
  if (rejectUnbound(conn, pdu)) return;
  const id = str(pdu.message_id);
  const record = messages.get(id);
  let reason = null;
  if (!record) reason = 'unknown_message_id';
  else if (record.cancelled) reason = 'already_cancelled';
  else if (record.receiptsOwed > 0 && record.receiptsLeft === 0) reason = 'receipt_delivered';
  const head = `cancel_sm session=${conn.number} seq=${pdu.sequence_number} id=${id}`;
  if (reason) {
    conn.send(pdu.response({command_status: ESME.ESME_RCANCELFAIL}));
    out(`${head} status=${ESME.ESME_RCANCELFAIL} reason=${reason}`);
    return;
  }
  record.cancelled = true;
  record.done = new Date();
  conn.send(pdu.response());
  out(`${head} status=0`);
  for (let i = pendingDeliveries.length - 1; i >= 0; i--) {
    if (pendingDeliveries[i].record === record) pendingDeliveries.splice(i, 1).forEach(finish);
  }
}

// replace_sm puts a new text in a known message that was not cancelled; a receipt built after
// it repeats the new text.
function onReplaceSm(conn, pdu) {
  if (rejectUnbound(conn, pdu)) return;
  const id = str(pdu.message_id);
  const record = messages.get(id);
  const head = `replace_sm session=${conn.number} seq=${pdu.sequence_number} id=${id}`;
  if (!record || record.cancelled) {
    conn.send(pdu.response({command_status: ESME.ESME_RREPLACEFAIL}));
    out(`${head} status=${ESME.ESME_RREPLACEFAIL} ` +
      `reason=${record ? 'cancelled' : 'unknown_message_id'}`);
    return;
  }
  const text = buf(pdu.short_message);
  record.text = Buffer.from(text.subarray(0, 20));
  conn.send(pdu.response());
  out(`${head} status=0 length=${text.length} text=${quoted(text)}`);
}

function onUnbind(conn, pdu) {
  conn.send(pdu.response());
  out(`unbind session=${conn.number} seq=${pdu.sequence_number}`);
  conn.bound = null;
  conn.close();
}

function onResponse(conn, pdu) {
  const record = conn.outstanding.get(pdu.sequence_number);
  if (record) conn.outstanding.delete(pdu.sequence_number);
  const kind = record ? record.kind : 'unknown';
  if (kind === 'receipt' || kind === 'mo') onDeliveryAnswer(record, conn, pdu);
  if (kind === 'receipt') {
    stats.receipts_answered++;
    if (opts.quiet) return;
  } else if (kind === 'mo') {
    stats.mo_answered++;
  } else if (kind === 'burst') {
    stats.mo_answered++;
    if (--conn.burstLeft === 0) out(`burst answered session=${conn.number}`);
    return;
  }
  out(`${pdu.command} session=${conn.number} seq=${pdu.sequence_number} ` +
    `status=${pdu.command_status} for=${kind}`);
  if (pdu.command === 'unbind_resp') {
    conn.bound = null;
    conn.close();
  }
}

// True when a request ends before its last mandatory field. The package then leaves the missing
// fields undefined instead of failing, and such a request must not be taken at face value.
function truncated(pdu) {
  if (pdu.command === 'unknown' || pdu.isResponse()) return false;
  const params = smpp.commands[pdu.command].params || {};
  return Object.keys(params).some((key) => pdu[key] === undefined);
}

function onPdu(conn, pdu) {
  if (truncated(pdu)) {
    // The framing is intact, so the session goes on; only this request is refused.
    conn.send(pdu.response({command_status: ESME.ESME_RINVCMDLEN}));
    out(`${pdu.command} session=${conn.number} seq=${pdu.sequence_number} ` +
      `status=${ESME.ESME_RINVCMDLEN} reason=truncated`);
    return;
  }
  switch (pdu.command) {
    case 'bind_receiver':
    case 'bind_transmitter':
    case 'bind_transceiver':
      return onBind(conn, pdu);
    case 'submit_sm': return onSubmitSm(conn, pdu);
    case 'submit_multi': return onSubmitMulti(conn, pdu);
    case 'data_sm': return onDataSmFromClient(conn, pdu);
    case 'query_sm': return onQuerySm(conn, pdu);
    case 'cancel_sm': return onCancelSm(conn, pdu);
    case 'replace_sm': return onReplaceSm(conn, pdu);
    case 'enquire_link':
      conn.send(pdu.response());
      out(`enquire_link session=${conn.number} seq=${pdu.sequence_number}`);
      return;
    case 'unbind': return onUnbind(conn, pdu);
    case 'unknown':
      // An id no SMPP version defines: generic_nack with ESME_RINVCMDID, the session stays.
      conn.send(pdu.response());
      out(`unknown session=${conn.number} seq=${pdu.sequence_number} ` +
        `command_id=${hex8(pdu.command_id)} status=${ESME.ESME_RINVCMDID}`);
      return;
  }
  if (pdu.isResponse()) return onResponse(conn, pdu);
  // A known request this SMSC does not serve (outbind, ...).
  conn.send(pdu.response({command_status: ESME.ESME_RINVCMDID}));
  out(`${pdu.command} session=${conn.number} seq=${pdu.sequence_number} ` +
    `status=${ESME.ESME_RINVCMDID} reason=not_supported`);
}

// ---------------------------------------------------------------------------------------------
// Sessions.

function onSessionClosed(conn) {
  if (conn.closed) return;
  conn.closed = true;
  sessions.delete(conn.number);
  if (conn.unbindTimer) clearTimeout(conn.unbindTimer);
  // Deliveries on their way to this receiver are kept for the next one, as an SMSC retries
  // (earlier attempts of the same delivery are not: it is on its way once).
  let requeued = 0;
  for (const [seq, item] of conn.outstanding) {
    if ((item.kind === 'receipt' || item.kind === 'mo') && item.state === 'sent' &&
        item.conn === conn && item.seq === seq) {
      clearTimeout(item.timer);
      item.timer = null;
      if (!stopping) queueDelivery(item);
      requeued++;
    }
  }
  conn.outstanding.clear();
  out(`close session=${conn.number}` + (requeued ? ` requeued=${requeued}` : ''));
  if (!stopping && requeued > 0) {
    const next = boundReceivers()[0];
    if (next) flushPending(next);
  }
}

function onSession(session) {
  const conn = new Conn(session);
  sessions.set(conn.number, conn);
  stats.sessions++;
  out(`connect session=${conn.number} peer=${conn.peer}`);
  session.on('pdu', (pdu) => {
    tlvsFollow = opts.quiet ? null : {conn, pdu};
    try {
      onPdu(conn, pdu);
    } catch (e) {
      // A PDU whose fields make no sense to this SMSC ends its session, never the SMSC.
      badInput(conn, `${pdu.command}: ${e.message}`);
    } finally {
      tlvsFollow = null;
    }
  });
  session.on('error', (e) => {
    if (e && e.syscall) {
      // Socket errors (a reset by the peer, mostly): the close event follows.
      out(`error session=${conn.number} code=${e.code}`);
      return;
    }
    badInput(conn, e && e.message ? e.message : String(e));
  });
  session.on('close', () => onSessionClosed(conn));
}

function badInput(conn, reason) {
  stats.bad_input++;
  out(`bad_input session=${conn.number} reason=${quoted(reason)}`);
  if (conn.closed) return;
  // The stream cannot be resynchronised: say so with generic_nack (ESME_RINVCMDLEN) and close.
  conn.send(new smpp.PDU('generic_nack',
    {command_status: ESME.ESME_RINVCMDLEN, sequence_number: 0}));
  conn.close();
}

// ---------------------------------------------------------------------------------------------
// Commands from standard input.

function splitCommand(line) {
  // "deliver <src> <dst> <text...>": the text is the rest of the line, inner blanks kept.
  const m = /^(\S+)(?:\s+(\S+))?(?:\s+(\S+))?(?:\s(.*))?$/.exec(line);
  return m ? {name: m[1], a: m[2], b: m[3], rest: m[4] === undefined ? '' : m[4]} : null;
}

function commandMo(kind, src, dst, text) {
  if (!src || !dst) {
    out(`error usage: ${kind === 'deliver_sm' ? 'deliver' : 'datasm'} <src> <dst> <text>`);
    return;
  }
  const bytes = Buffer.from(text, 'utf8');
  let options;
  if (kind === 'deliver_sm') {
    if (bytes.length > 254) {
      out(`error deliver text is ${bytes.length} bytes, at most 254 fit a short message`);
      return;
    }
    options = {source_addr: src, destination_addr: dst, esm_class: 0, data_coding: 0,
      short_message: bytes};
  } else {
    if (bytes.length > 65535) {
      out(`error datasm text is ${bytes.length} bytes, at most 65535 fit message_payload`);
      return;
    }
    // message_payload is the only optional parameter, so it is the first one on the wire.
    options = {source_addr: src, destination_addr: dst, esm_class: 0, data_coding: 0,
      registered_delivery: 0, message_payload: bytes};
  }
  const item = {kind: 'mo', command: kind, options, text: bytes, systemId: '',
    label: `${kind} src=${src} dst=${dst}`};
  const receivers = boundReceivers();
  if (receivers.length === 0) {
    queueDelivery(item);
    return;
  }
  for (const conn of receivers) deliverTo(conn, Object.assign({}, item));
}

// "burst <count> <src> <dst>": count MO deliver_sm to every bound receiver in one go, texts
// "burst 1", "burst 2", ...; one line when all are sent, and one when all are answered.
function commandBurst(countText, src, dst) {
  const count = /^\d+$/.test(countText || '') ? Number(countText) : 0;
  const receivers = boundReceivers();
  if (count < 1 || count > 10000000 || !dst) {
    out('error usage: burst <count> <src> <dst>');
    return;
  }
  if (receivers.length === 0) {
    out('error no receiver bound');
    return;
  }
  for (const conn of receivers) {
    conn.burstLeft = (conn.burstLeft || 0) + count;
    for (let i = 1; i <= count; i++) {
      const text = Buffer.from(`burst ${i}`, 'latin1');
      conn.request('deliver_sm', {source_addr: src, destination_addr: dst, esm_class: 0,
        data_coding: 0, short_message: text}, {kind: 'burst'});
    }
    stats.mo_sent += count;
    out(`sent burst session=${conn.number} count=${count}`);
  }
}

// Sends an MO message to every bound receiver, or queues it when none is bound.
function sendMo(command, options, text) {
  const item = {kind: 'mo', command, options, text, systemId: '',
    label: `${command} src=${options.source_addr} dst=${options.destination_addr}`};
  const receivers = boundReceivers();
  if (receivers.length === 0) {
    queueDelivery(item);
    return;
  }
  for (const conn of receivers) deliverTo(conn, Object.assign({}, item));
}

const utf16be = (text) => Buffer.from(text, 'utf16le').swap16();
let nextConcatRef = 0;

function commandUcs2(src, dst, text) {
  if (!src || !dst) return out('error usage: ucs2 <src> <dst> <text>');
  const bytes = utf16be(text);
  if (bytes.length > 254) return out(`error ucs2 text is ${bytes.length} bytes, at most 254 fit`);
  sendMo('deliver_sm', {source_addr: src, destination_addr: dst, esm_class: 0, data_coding: 8,
    short_message: bytes}, bytes);
}

function commandParts(src, dst, rest) {
  const m = /^(\d+)\s(.*)$/.exec(rest);
  if (!src || !dst || !m || Number(m[1]) < 1 || Number(m[1]) > 67) {
    return out('error usage: parts <src> <dst> <n 1..67> <text>');
  }
  const chars = Array.from(m[2]);
  const size = Number(m[1]);
  const ascii = chars.every((c) => c.charCodeAt(0) < 0x80);
  const count = Math.ceil(chars.length / size);
  if (count < 1 || count > 255) return out('error parts: 1 to 255 parts');
  const ref = nextConcatRef = (nextConcatRef + 1) % 256;
  for (let i = 0; i < count; i++) {
    const piece = chars.slice(i * size, (i + 1) * size).join('');
    const udh = Buffer.from([0x05, 0x00, 0x03, ref, count, i + 1]);
    const data = ascii ? Buffer.from(piece, 'latin1') : utf16be(piece);
    sendMo('deliver_sm', {source_addr: src, destination_addr: dst, esm_class: 0x40,
      data_coding: ascii ? 0 : 8, short_message: Buffer.concat([udh, data])}, data);
  }
}

// "concat <udh|udh16|sar> <src> <dst> <text>": the text coded by the npm package and sent in
// parts that never split a GSM escape pair nor a UTF-16 surrogate pair.
let nextMoConcatRef = 0;
function commandConcat(rest) {
  const m = /^(udh|udh16|sar)\s+(\S+)\s+(\S+)\s(.+)$/.exec(rest);
  if (!m) return out('error usage: concat <udh|udh16|sar> <src> <dst> <text>');
  const [, kind, src, dst, text] = m;
  const gsm = smpp.encodings.ASCII.match(text);
  const data = gsm ? smpp.encodings.ASCII.encode(text) : smpp.encodings.UCS2.encode(text);
  const unit = gsm ? 1 : 2;
  const room = (gsm ? 153 : 67) - (kind === 'udh16' ? 1 : 0);
  const pieces = [];
  for (let at = 0; at < data.length;) {
    let end = Math.min(at + room * unit, data.length);
    if (end < data.length) {
      if (gsm) {
        let i = at;
        while (i < end) i += data[i] === 0x1b ? 2 : 1;
        if (i > end) end--;
      } else if (data[end - 2] >= 0xd8 && data[end - 2] <= 0xdb) {
        end -= 2;
      }
    }
    pieces.push(data.subarray(at, end));
    at = end;
  }
  if (pieces.length > 255) return out(`error concat text needs ${pieces.length} parts, at most 255`);
  const ref = nextMoConcatRef = (nextMoConcatRef + 1) % (kind === 'udh16' ? 65536 : 256);
  const total = pieces.length;
  pieces.forEach((piece, i) => {
    const options = {source_addr: src, destination_addr: dst, esm_class: 0,
      data_coding: gsm ? 0 : 8, short_message: piece};
    if (kind === 'sar') {
      Object.assign(options, {sar_msg_ref_num: ref, sar_total_segments: total,
        sar_segment_seqnum: i + 1});
    } else {
      const udh = kind === 'udh'
        ? Buffer.from([0x05, 0x00, 0x03, ref, total, i + 1])
        : Buffer.from([0x06, 0x08, 0x04, ref >> 8, ref & 0xff, total, i + 1]);
      options.esm_class = 0x40;
      options.short_message = Buffer.concat([udh, piece]);
    }
    sendMo('deliver_sm', options, piece);
  });
}

function commandDataSmPort(src, dst, text) {
  if (!src || !dst) return out('error usage: datasmport <src> <dst> <text>');
  const bytes = Buffer.from(text, 'utf8');
  // The package writes optional parameters in the order of these keys.
  sendMo('data_sm', {source_addr: src, destination_addr: dst, esm_class: 0, data_coding: 0,
    registered_delivery: 0, source_port: 3000, destination_port: 5000, message_payload: bytes},
  bytes);
}

function commandDeliverHex(src, dst, hex) {
  const clean = (hex || '').replace(/\s+/g, '');
  if (!src || !dst || !/^([0-9a-fA-F]{2}){0,254}$/.test(clean)) {
    return out('error usage: deliverhex <src> <dst> <hex bytes, at most 254>');
  }
  const bytes = Buffer.from(clean, 'hex');
  sendMo('deliver_sm', {source_addr: src, destination_addr: dst, esm_class: 0, data_coding: 0,
    short_message: bytes}, bytes);
}

function commandReceipt(line) {
  const [, style, src, dst, id, stat] = line.split(/\s+/);
  if (!RECEIPT_STYLES.includes(style) || !src || !dst || !id) {
    return out(`error usage: receipt <${RECEIPT_STYLES.join('|')}> <src> <dst> <id> [stat]`);
  }
  const now = new Date();
  // <src> and <dst> are the receipt's own addresses (receiptItem takes the message's, reversed).
  routeReceipt(receiptItem(style, '', id, dst, src, Buffer.alloc(0), now, stat || 'DELIVRD'));
}

function forEachSession(fn) {
  const all = [...sessions.values()].filter((c) => !c.closed);
  if (all.length === 0) out('error no session');
  for (const conn of all) fn(conn);
}

function printStats() {
  const cpu = process.cpuUsage();
  const bound = (role) => [...sessions.values()].filter((c) => c.bound === role).length;
  out(`stats sessions=${sessions.size} receivers=${bound('receiver')} ` +
    `transmitters=${bound('transmitter')} transceivers=${bound('transceiver')} ` +
    `connections=${stats.sessions} submit_sm=${stats.submit_sm} ` +
    `submit_multi=${stats.submit_multi} ` +
    `receipts_sent=${stats.receipts_sent} receipts_answered=${stats.receipts_answered} ` +
    `mo_sent=${stats.mo_sent} mo_answered=${stats.mo_answered} rejected=${stats.rejected} ` +
    `bad_input=${stats.bad_input} retries=${stats.retries} gave_up=${stats.gave_up} ` +
    `queued=${pendingDeliveries.length} ` +
    `cpu_ms=${Math.round((cpu.user + cpu.system) / 1000)}`);
}

const COMMANDS_HELP = 'commands: deliver <src> <dst> <text> | datasm <src> <dst> <text> | ' +
  'datasmport <src> <dst> <text> | ucs2 <src> <dst> <text> | parts <src> <dst> <n> <text> | ' +
  'deliverhex <src> <dst> <hex> | concat <udh|udh16|sar> <src> <dst> <text> | ' +
  'receipt <style> <src> <dst> <id> [stat] | ' +
  'enquire | unbind | close | raw <hex> | trickle <hex> | burst <count> <src> <dst> | stats | ' +
  'quit | help';

function onCommand(rawLine) {
  const line = rawLine.trim();
  if (line === '' || line.startsWith('#')) return;
  const cmd = splitCommand(line);
  switch (cmd.name) {
    case 'deliver': return commandMo('deliver_sm', cmd.a, cmd.b, cmd.rest);
    case 'datasm': return commandMo('data_sm', cmd.a, cmd.b, cmd.rest);
    case 'datasmport': return commandDataSmPort(cmd.a, cmd.b, cmd.rest);
    case 'ucs2': return commandUcs2(cmd.a, cmd.b, cmd.rest);
    case 'parts': return commandParts(cmd.a, cmd.b, cmd.rest);
    case 'deliverhex': return commandDeliverHex(cmd.a, cmd.b, cmd.rest);
    case 'concat': return commandConcat(line.slice(6).trim());
    case 'receipt': return commandReceipt(line);
    case 'enquire':
      return forEachSession((conn) => {
        const seq = conn.request('enquire_link', {});
        if (seq !== null) out(`sent enquire_link session=${conn.number} seq=${seq}`);
      });
    case 'unbind':
      return forEachSession((conn) => {
        const seq = conn.request('unbind', {});
        if (seq === null) return;
        out(`sent unbind session=${conn.number} seq=${seq}`);
        // A peer that does not answer the unbind is closed all the same.
        conn.unbindTimer = setTimeout(() => conn.close(), 5000);
        conn.unbindTimer.unref();
      });
    case 'close':
      return forEachSession((conn) => conn.close('destroy'));
    case 'raw': {
      const hex = line.slice(3).replace(/\s+/g, '');
      if (!/^([0-9a-fA-F]{2})+$/.test(hex)) {
        out('error usage: raw <hex bytes>');
        return;
      }
      const bytes = Buffer.from(hex, 'hex');
      return forEachSession((conn) => {
        conn.cork();
        conn.socket.write(bytes);
        out(`sent raw session=${conn.number} length=${bytes.length}`);
      });
    }
    case 'trickle': {
      // The bytes one write each, in turns of the event loop: over TLS one record each.
      const hex = line.slice(7).replace(/\s+/g, '');
      if (!/^([0-9a-fA-F]{2})+$/.test(hex)) {
        out('error usage: trickle <hex bytes>');
        return;
      }
      const bytes = Buffer.from(hex, 'hex');
      return forEachSession((conn) => {
        let i = 0;
        const next = () => {
          if (i >= bytes.length || conn.closed || conn.socket.destroyed) return;
          conn.socket.write(bytes.subarray(i, i + 1));
          i++;
          setImmediate(next);
        };
        next();
        out(`sent trickle session=${conn.number} length=${bytes.length}`);
      });
    }
    case 'burst': return commandBurst(cmd.a, cmd.b, cmd.rest);
    case 'stats': return printStats();
    case 'quit': return stop(0);
    case 'help': return out(COMMANDS_HELP);
    default:
      out(`error unknown command ${quoted(cmd.name)}; ${COMMANDS_HELP}`);
  }
}

// ---------------------------------------------------------------------------------------------
// Start and stop.

function serverOptions() {
  if (!opts.tls) return {};
  try {
    return {cert: fs.readFileSync(opts.cert), key: fs.readFileSync(opts.key)};
  } catch (e) {
    process.stderr.write(`smsc: cannot read the TLS certificate or key: ${e.message}\n`);
    process.exit(2);
  }
}

const server = smpp.createServer(serverOptions(), onSession);
// A client that fails the TLS handshake (or speaks plain TCP to a TLS port) is told on a line.
server.on('tlsClientError', (e, socket) => {
  out(`tls_error peer=${socket.remoteAddress}:${socket.remotePort} ${quoted(e.message)}`);
});

function stop(code) {
  if (stopping) return;
  stopping = true;
  server.close();
  for (const conn of sessions.values()) conn.socket.destroy();
  out('bye');
  flushOut();
  process.exit(code);
}

server.on('error', (e) => {
  process.stderr.write(`smsc: cannot listen on 127.0.0.1:${opts.port}: ${e.message}\n`);
  process.exit(1);
});

server.listen(opts.port, '127.0.0.1', () => {
  out(`listening 127.0.0.1:${server.address().port}`);
  flushOut();
});

process.on('SIGINT', () => stop(0));
process.on('SIGTERM', () => stop(0));
process.on('uncaughtException', (e) => {
  // A fault in this SMSC must not take down the sessions of everyone else; report it loudly.
  process.stderr.write(`smsc: internal error: ${e && e.stack ? e.stack : e}\n`);
  out(`internal_error ${quoted(e && e.message ? e.message : String(e))}`);
});

let stdinKind = null;
try {
  const st = fs.fstatSync(0);
  if (st.isFIFO()) stdinKind = 'pipe';
  else stdinKind = st.isCharacterDevice() && process.stdin.isTTY ? 'tty' : 'other';
} catch (e) {
  stdinKind = 'none';
}
if (stdinKind !== 'none') {
  const rl = readline.createInterface({input: process.stdin, terminal: false});
  rl.on('line', onCommand);
  rl.on('close', () => {
    if (stdinKind === 'pipe' || stdinKind === 'tty') stop(0);
  });
}
