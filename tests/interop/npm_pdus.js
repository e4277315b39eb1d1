// Prints PDUs as the npm package smpp builds them, one JSON object per line: the command, its
// bytes as hex and the fields set, [name, value] pairs in order, for the dissector's tests to
// compare with what they read in the bytes. Every SMPP 3.4 command, each mandatory field given a
// value of its own, and a few optional parameters on the PDUs that carry them.
// Usage: node tests/interop/npm_pdus.js   (with tools/smsc/node_modules installed)
'use strict';
const path = require('path');
const smpp = require(path.join(__dirname, '../../tools/smsc/node_modules/smpp'));

const commands = [
  'bind_receiver', 'bind_receiver_resp', 'bind_transmitter', 'bind_transmitter_resp',
  'bind_transceiver', 'bind_transceiver_resp', 'outbind', 'unbind', 'unbind_resp', 'submit_sm',
  'submit_sm_resp', 'submit_multi', 'submit_multi_resp', 'deliver_sm', 'deliver_sm_resp', 'data_sm',
  'data_sm_resp', 'query_sm', 'query_sm_resp', 'cancel_sm', 'cancel_sm_resp', 'replace_sm',
  'replace_sm_resp', 'enquire_link', 'enquire_link_resp', 'generic_nack', 'alert_notification',
];

// A value for each kind of field: numbers that differ from field to field, short texts.
const texts = {
  system_id: 'smppcli', password: 'secret', system_type: 'TEST', address_range: '',
  service_type: 'CMT', source_addr: '1234', destination_addr: '5551234', esme_addr: '4477',
  schedule_delivery_time: '', validity_period: '000001000000000R', message_id: '5F3A9C01',
  final_date: '', dl_name: 'list',
};
const fixed = {interface_version: 0x34, esm_class: 0, data_coding: 0, sm_length: null,
  number_of_dests: null, no_unsuccess: null, message_state: 2, error_code: 0};

for (const command of commands) {
  const params = smpp.commands[command].params || {};
  const options = {sequence_number: 77};
  const fields = [];
  let n = 1;
  for (const key of Object.keys(params)) {
    const type = params[key].type;
    let value;
    if (key === 'short_message') {
      value = Buffer.from('hello');
      fields.push([key, 'hello']);
      options[key] = value;
      continue;
    }
    if (key === 'dest_address') {
      options[key] = [{dest_addr_ton: 1, dest_addr_npi: 1, destination_addr: '555'},
                      {dl_name: 'friends'}];
      fields.push(['destination_addr', '555'], ['dl_name', 'friends']);
      continue;
    }
    if (key === 'unsuccess_sme') {
      options[key] = [{dest_addr_ton: 1, dest_addr_npi: 1, destination_addr: '556',
                       error_status_code: 0x0B}];
      fields.push(['destination_addr', '556'], ['error_status_code', 0x0B]);
      continue;
    }
    if (key in fixed) {
      if (fixed[key] !== null) {
        options[key] = fixed[key];
        fields.push([key, fixed[key]]);
      }
      continue;
    }
    if (key in texts) {
      value = texts[key];
    } else if (type === smpp.types.cstring) {
      value = 'x' + n;
    } else {
      value = n++;
    }
    options[key] = value;
    fields.push([key, value]);
  }
  if (command === 'submit_sm' || command === 'deliver_sm' || command === 'data_sm') {
    options.user_message_reference = 0x0102;
    options.source_port = 0x0BB8;
    fields.push(['user_message_reference', 0x0102], ['source_port', 0x0BB8]);
  }
  const bytes = new smpp.PDU(command, options).toBuffer();
  console.log(JSON.stringify({command, hex: bytes.toString('hex'), fields}));
}
