// A reference relay for the benchmark, on Node's `ws` package: the service's protocol reduced to
// what the load tool uses. Admission by path only (/agt?ID PASS, /mob?ID PASS; no customer table,
// no pass check), the first-message replies, the version and keep-alive replies, and routing by
// the 13-character header: a mobile's request to its customer's agent, an agent's answer to the
// mobile its header names. No supervision, logging or limits beyond ws's own.
//   node relay.js [--port N]     prints "LISTENING port=N" once it listens on 127.0.0.1
'use strict';
const { WebSocketServer } = require('ws');

const portArg = process.argv.indexOf('--port');
const port = portArg > 0 ? Number(process.argv[portArg + 1]) : 0;
const MAX_MOBILES = 50;
const agents = new Map();                 // customer id -> agent socket
const mobiles = new Array(MAX_MOBILES + 1);  // slot -> { ws, cust }

const nr3 = (n) => String(n).padEnd(3, ' ');
const refuse = (ws, why) => { ws.send('CW000000000  MSG:' + why); ws.close(1000); };

function login(url) {
  const m = /^\/(agt|mob)\?(\d{8})[ ]/.exec(decodeURIComponent(url || ''));
  return m ? { kind: m[1], cust: m[2] } : null;
}

function onAgent(ws, cust) {
  if (agents.has(cust)) return refuse(ws, 'Connection Exist.');
  agents.set(cust, ws);
  ws.send('CW' + cust + '0  Connection Accepted');
  ws.on('message', (data) => {
    const text = data.toString();
    const kind = text.slice(0, 2);
    if (kind === 'DA') {
      const slot = mobiles[parseInt(text.slice(10, 13), 10)];
      if (slot && slot.cust === cust) slot.ws.send(text);
    } else if (kind === 'CA') {
      const body = text.slice(13);
      if (body.startsWith('keep-alive')) ws.send('CA' + cust + '0  keep-alive');
      else if (body.startsWith('VER:')) ws.send('CW' + cust + '0  ' + (body.includes('KEEPALIVE:') ? 'VER:OK KEEPALIVE:OK' : 'VER:OK'));
    }
  });
  ws.on('close', () => { if (agents.get(cust) === ws) agents.delete(cust); });
}

function onMobile(ws, cust) {
  if (!agents.has(cust)) return refuse(ws, 'Disconnected. Agent Software Not Connected');
  let nr = 1;
  while (nr <= MAX_MOBILES && mobiles[nr]) ++nr;
  if (nr > MAX_MOBILES) return refuse(ws, 'Disconnected. Max Connection is 50');
  mobiles[nr] = { ws, cust };
  ws.send('CW' + cust + nr3(nr) + 'Connection Accepted');
  ws.on('message', (data) => {
    const text = data.toString();
    const kind = text.slice(0, 2);
    if (kind === 'DM') {
      const agent = agents.get(cust);
      if (agent) agent.send(text);
    } else if (kind === 'CM' && text.slice(13).startsWith('VER:')) {
      ws.send('CW' + cust + '0  VER:OK');
    }
  });
  ws.on('close', () => { if (mobiles[nr] && mobiles[nr].ws === ws) mobiles[nr] = undefined; });
}

const server = new WebSocketServer({ host: '127.0.0.1', port, perMessageDeflate: false, maxPayload: 1 << 20 });
server.on('listening', () => console.log('LISTENING port=' + server.address().port));
server.on('connection', (ws, req) => {
  const who = login(req.url);
  if (!who) return refuse(ws, 'Disconnected. Invalid Request Path');
  (who.kind === 'agt' ? onAgent : onMobile)(ws, who.cust);
});
process.on('SIGTERM', () => server.close(() => process.exit(0)));
