import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { startService } from './lib/service.mjs';
import { connectClient, mintSessionToken as mint, sessionClaims } from './lib/session-helpers.mjs';

let service;
before(async () => { service = await startService({ extraIni: { pdv_number: 3 } }); });
after(async () => { await service?.dispose(); });

test('a session starts with a back-end token, finishes, and is then unknown', async () => {
  const client = await connectClient(service.port);
  try {
    const token = await mint(sessionClaims(), 'HS512');
    const sent = Date.now();
    client.send({ route: '/session/start', type: 'session', token });
    // A first start initialises CliSiTef and says so before it answers.
    let text = await client.next(30000);
    while (text && JSON.parse(text).type === 'message') text = await client.next(30000);
    const answered = Date.now();
    assert.ok(text, 'no reply to the session start');
    assert.match(text, /"message":"Sess\\u00E3o criada com sucesso\."/);  // escaped as the service writes it
    const created = JSON.parse(text);
    assert.deepEqual(Object.keys(created),
      ['type', 'status', 'message', 'expiration', 'session_uuid', 'store_code', 'terminal_number']);
    assert.equal(created.type, 'session');
    assert.equal(created.status, 'created');
    assert.match(created.session_uuid, /^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$/);
    assert.equal(created.store_code, '00000001');
    assert.equal(created.terminal_number, 'AG100903');
    assert.match(created.expiration, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
    // Thirty minutes after the session was made, which was between the request and its answer
    // however long CliSiTef's initialisation took (the text keeps whole milliseconds).
    const expires = Date.parse(created.expiration);
    assert.ok(expires >= sent + 1800_000 - 1 && expires <= answered + 1800_000,
      `expires ${expires - sent} ms after the request, ${expires - answered} ms after the answer`);

    const finish = { route: '/session/finish', type: 'session', session_uuid: created.session_uuid };
    client.send(finish);
    assert.deepEqual(JSON.parse(await client.next()),
      { type: 'session', status: 'finished', message: 'Sessão finalizada com sucesso.' });
    client.send(finish);
    assert.deepEqual(JSON.parse(await client.next()), { type: 'error', message: 'Sessão inválida.' });
  } finally {
    await client.close();
  }
});

test('a token signed with another secret is refused and text that is not JSON gets no answer', async () => {
  const client = await connectClient(service.port);
  try {
    const forged = await mint(sessionClaims(), 'HS256', new TextEncoder().encode('not the shared secret'));
    client.send({ route: '/session/start', type: 'session', token: forged });
    assert.deepEqual(JSON.parse(await client.next()), { type: 'error', message: 'Acesso não autorizado.' });

    client.send('hello');
    client.send({ route: '/initialize', type: 'initialize', session_uuid: 'NOPE' });
    // The first answer that arrives belongs to the second message.
    assert.deepEqual(JSON.parse(await client.next()), { type: 'error', message: 'Sessão inválida.' });
  } finally {
    await client.close();
  }
});
