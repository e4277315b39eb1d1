#!/usr/bin/env node
// Load client written with the npm package `smpp`, the yardstick for our console client: it binds
// a transmitter, submits N messages pipelined with a window of outstanding requests, waits for
// every submit_sm_resp, unbinds, and prints the messages per second and its own CPU time per
// message. It talks to loopback addresses only.
//
// Usage: node bench/npm_client.js --port N [options]
//   --host H                 127.0.0.1 (default), localhost or ::1; nothing else is accepted
//   --port N                 SMSC port (default 2775)
//   --count N                messages to submit (default 100000)
//   --window N               submits outstanding at most (default 100)
//   --text T                 message text (default "Hello")
//   --source A, --dest A     source and destination address (default 1234 and 555)
//   --system-id S, --password P   bind credentials (default test / test)
//   --receiver               also bind a receiver, answer every receipt and wait for all of them
//   --registered-delivery N  registered_delivery of every submit: by default 0x11, as our client
//                            sends, with --receiver, and 0 without, so that no receipts pile up
//                            in the SMSC for a receiver that never comes
//   --timeout S              give up after S seconds without all answers (default 300)
//   --help                   print this text
//
// Output, one line: messages answered, elapsed seconds from the first submit to the last answer,
// messages per second and CPU microseconds per message (user + system, process.cpuUsage()).
// Exit status 0 when every message was answered with status 0, else 1.
'use strict';

const path = require('path');
const fs = require('fs');

const cpuAtStart = process.cpuUsage();
const smpp = require(path.join(__dirname, '..', 'tools', 'smsc', 'node_modules', 'smpp'));

function usage() {
  const lines = fs.readFileSync(__filename, 'utf8').split('\n').slice(1);
  const end = lines.findIndex((l) => !l.startsWith('//'));
  return lines.slice(0, end).map((l) => l.replace(/^\/\/ ?/, '')).join('\n');
}

function fail(message) {
  process.stderr.write(`npm_client: ${message}\n`);
  process.exit(1);
}

const opts = {
  host: '127.0.0.1', port: 2775, count: 100000, window: 100, text: 'Hello', source: '1234',
  dest: '555', systemId: 'test', password: 'test', registeredDelivery: null, receiver: false,
  timeout: 300,
};
const argv = process.argv.slice(2);
for (let i = 0; i < argv.length; i++) {
  const name = argv[i];
  const value = () => {
    if (i + 1 >= argv.length) fail(`${name} needs a value`);
    return argv[++i];
  };
  const int = (min, max) => {
    const v = value();
    const n = Number(v);
    if (!Number.isInteger(n) || n < min || n > max) fail(`bad value for ${name}: ${v}`);
    return n;
  };
  switch (name) {
    case '--host': opts.host = value(); break;
    case '--port': opts.port = int(1, 65535); break;
    case '--count': opts.count = int(1, 1e9); break;
    case '--window': opts.window = int(1, 1e6); break;
    case '--text': opts.text = value(); break;
    case '--source': opts.source = value(); break;
    case '--dest': opts.dest = value(); break;
    case '--system-id': opts.systemId = value(); break;
    case '--password': opts.password = value(); break;
    case '--registered-delivery': opts.registeredDelivery = int(0, 255); break;
    case '--receiver': opts.receiver = true; break;
    case '--timeout': opts.timeout = int(1, 86400); break;
    case '--help': case '-h': process.stdout.write(usage() + '\n'); process.exit(0); break;
    default: fail(`unknown option ${name}\n\n${usage()}`);
  }
}
if (opts.registeredDelivery === null) opts.registeredDelivery = opts.receiver ? 0x11 : 0;
// A load run may only ever target this machine.
if (!/^(127\.\d{1,3}\.\d{1,3}\.\d{1,3}|localhost|::1)$/.test(opts.host)) {
  fail(`refusing host ${opts.host}: only loopback addresses are allowed`);
}

// The text is encoded once; every submit carries the same bytes with data_coding 0.
const shortMessage = Buffer.from(opts.text, 'latin1');
if (shortMessage.length > 254) fail('the text is longer than 254 bytes');

let sent = 0;
let answered = 0;
let failed = 0;
let receipts = 0;
let firstSubmitAt = 0n;
let lastAnswerAt = 0n;
let finished = false;
let tx = null;
let rx = null;

const timer = setTimeout(() => {
  fail(`timeout after ${opts.timeout} s: ${answered} of ${opts.count} answered, ` +
    `${receipts} receipts`);
}, opts.timeout * 1000);

function connect(bindCommand, onBound) {
  const session = smpp.connect({host: opts.host, port: opts.port});
  session.on('error', (e) => fail(`${bindCommand}: ${e.message}`));
  session.on('connect', () => {
    session[bindCommand]({system_id: opts.systemId, password: opts.password}, (resp) => {
      if (resp.command_status !== 0) {
        fail(`${bindCommand} refused with status 0x${resp.command_status.toString(16)}`);
      }
      onBound(session);
    });
  });
  return session;
}

function onSubmitResp(resp) {
  answered++;
  if (resp.command_status !== 0) failed++;
  if (answered === opts.count) {
    lastAnswerAt = process.hrtime.bigint();
    maybeFinish();
  } else {
    pump();
  }
}

function pump() {
  while (sent < opts.count && sent - answered < opts.window) {
    sent++;
    tx.submit_sm({
      source_addr: opts.source,
      destination_addr: opts.dest,
      registered_delivery: opts.registeredDelivery,
      data_coding: 0,
      short_message: shortMessage,
    }, onSubmitResp);
  }
}

function maybeFinish() {
  if (finished || answered < opts.count) return;
  if (opts.receiver && receipts < opts.count) return;
  finished = true;
  if (!opts.receiver) lastAnswerAt = lastAnswerAt || process.hrtime.bigint();
  else lastAnswerAt = process.hrtime.bigint();
  const unbound = [];
  for (const s of [tx, rx]) {
    if (!s) continue;
    unbound.push(new Promise((resolve) => {
      s.unbind(() => {
        s.close();
        resolve();
      });
    }));
  }
  Promise.all(unbound).then(report);
}

function report() {
  clearTimeout(timer);
  const cpu = process.cpuUsage(cpuAtStart);
  const seconds = Number(lastAnswerAt - firstSubmitAt) / 1e9;
  const cpuMicros = cpu.user + cpu.system;
  process.stdout.write(
    `npm smpp client: ${answered} messages answered (${failed} refused)` +
    (opts.receiver ? `, ${receipts} receipts` : '') +
    ` in ${seconds.toFixed(3)} s: ${Math.round(answered / seconds)} msg/s, ` +
    `CPU ${(cpuMicros / answered).toFixed(2)} us/msg ` +
    `(user ${(cpu.user / 1e6).toFixed(3)} s, system ${(cpu.system / 1e6).toFixed(3)} s)\n`);
  process.exit(failed === 0 ? 0 : 1);
}

function start() {
  tx = connect('bind_transmitter', () => {
    firstSubmitAt = process.hrtime.bigint();
    pump();
  });
}

if (opts.receiver) {
  rx = connect('bind_receiver', start);
  rx.on('deliver_sm', (pdu) => {
    rx.send(pdu.response());
    if (pdu.esm_class & 0x04) {
      receipts++;
      maybeFinish();
    }
  });
} else {
  start();
}
