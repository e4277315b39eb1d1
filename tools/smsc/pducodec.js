#!/usr/bin/env node
// PDU codec of the npm package smpp, on the command line, for the interop tests: it parses PDUs
// that our encoder built and builds PDUs for our decoder to read.
//
// Usage:
//   node pducodec.js decode HEX
//       Parses the PDU in HEX (blanks allowed) and prints one "key=value" line per field, in the
//       package's field order. Fields are raw, without the package's text filters: octet strings
//       (short_message, optional parameters) are printed as lower-case hex, numbers in decimal,
//       texts as they are. Lists are flattened: dest_address.0.destination_addr=...
//       A PDU the package refuses prints "error=..." and exits 1.
//   node pducodec.js encode COMMAND [key=s:TEXT | key=n:NUMBER | key=x:HEX]...
//       Builds the PDU COMMAND (e.g. deliver_sm) with those fields (s: text, n: number, x: octets)
//       and prints its bytes as lower-case hex on one line. Unset fields take the package's
//       defaults.
'use strict';

const path = require('path');
let smpp;
try {
  smpp = require(path.join(__dirname, 'node_modules', 'smpp'));
} catch (e) {
  process.stderr.write('pducodec: the npm package smpp is missing; run scripts/bootstrap\n');
  process.exit(2);
}
const PDU = smpp.PDU;

function flatten(prefix, value, out) {
  if (Buffer.isBuffer(value)) {
    out.push([prefix, value.toString('hex')]);
  } else if (Array.isArray(value)) {
    value.forEach((v, i) => flatten(prefix + '.' + i, v, out));
  } else if (value !== null && typeof value === 'object') {
    for (const k of Object.keys(value)) flatten(prefix + '.' + k, value[k], out);
  } else {
    out.push([prefix, String(value)]);
  }
}

function decode(hex) {
  const buffer = Buffer.from(hex.replace(/\s+/g, ''), 'hex');
  // Raw fields: the package's filters would turn octets into texts by their data coding.
  PDU.prototype._filter = function () {};
  let pdu;
  try {
    pdu = new PDU(buffer);
  } catch (e) {
    console.log('error=' + e.message);
    process.exit(1);
  }
  if (!pdu || pdu === false) {
    console.log('error=incomplete PDU');
    process.exit(1);
  }
  const out = [];
  for (const key of Object.keys(pdu)) flatten(key, pdu[key], out);
  process.stdout.write(out.map(([k, v]) => k + '=' + v).join('\n') + '\n');
}

function encode(command, args) {
  const options = {};
  for (const arg of args) {
    const eq = arg.indexOf('=');
    const key = arg.slice(0, eq);
    const kind = arg.slice(eq + 1, eq + 3);
    const value = arg.slice(eq + 3);
    if (kind === 'n:') options[key] = Number(value);
    else if (kind === 'x:') options[key] = Buffer.from(value, 'hex');
    else if (kind === 's:') options[key] = value;
    else throw new Error('bad argument ' + arg);
  }
  const pdu = new PDU(command, options);
  process.stdout.write(pdu.toBuffer().toString('hex') + '\n');
}

const [mode, ...rest] = process.argv.slice(2);
if (mode === 'decode' && rest.length === 1) decode(rest[0]);
else if (mode === 'encode' && rest.length >= 1) encode(rest[0], rest.slice(1));
else {
  process.stderr.write('usage: pducodec.js decode HEX | encode COMMAND [key=s:|n:|x:value]...\n');
  process.exit(2);
}
