// "/version" against the installed service: the versions come from the version notes the
// build writes into the executable and the stand-in library.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { startService } from './lib/service.mjs';
import { connectClient } from './lib/session-helpers.mjs';

const projectVersion = fs.readFileSync(new URL('../CMakeLists.txt', import.meta.url), 'utf8')
  .match(/project\(\w+ VERSION ([0-9.]+)/)[1];

let service;
before(async () => { service = await startService({ extraIni: { pdv_number: 7 } }); });
after(async () => { await service?.dispose(); });

function iniKeys(dir) {
  const text = fs.readFileSync(path.join(dir, 'SvcNorvaneSiTef.ini'), 'utf8');
  const keys = {};
  for (const line of text.split(/\r?\n/)) {
    const at = line.indexOf('=');
    if (at > 0) keys[line.slice(0, at).trim().toLowerCase()] = line.slice(at + 1);
  }
  return keys;
}

test('/version answers both files and records an update only for a newer build', async () => {
  const client = await connectClient(service.port);
  try {
    const ask = async (message) => {
      client.send({ route: '/version', type: 'version', ...message });
      return JSON.parse(await client.next());
    };
    for (const category of ['service_exe', 'clisitef_dll']) {
      assert.deepEqual(await ask({ category }),
        { type: 'version', category, version: projectVersion, updating: false, pdv_number: '07' });
    }
    const [major, minor, release, build] = projectVersion.split('.').map(Number);
    const rows = [
      { offered: `${major}.${minor}.${release}.${build + 1}`, updating: true },
      { offered: `${major + 1}.0.0.${build}`, updating: false },
      { offered: `${major}.${minor + 5}.${release}.${build}`, updating: false },
    ];
    for (const row of rows) {
      const reply = await ask({ category: 'service_exe', version: row.offered, download_url: 'https://updates.example/x.tgz' });
      assert.equal(reply.updating, row.updating, row.offered);
      const keys = iniKeys(service.dir);
      assert.equal(keys.need_update, row.updating ? '1' : '0');
      assert.equal(keys.version, row.updating ? row.offered : '');
      assert.equal(keys.download_url, row.updating ? 'https://updates.example/x.tgz' : '');
    }
    assert.deepEqual(await ask({ category: 'other' }),
      { type: 'error', message: 'Categoria inválida. Valores permitidos [service_exe, clisitef_dll]' });
    const log = service.logText();
    assert.match(log, /Validando versão\.\./);
    assert.match(log, new RegExp(`Nova versão encontrada: ${major}\\.${minor}\\.${release}\\.${build + 1}`));
    assert.match(log, new RegExp(`Nenhuma versão nova encontrada, versão atual: ${projectVersion.replace(/\./g, '\\.')}`));
  } finally {
    await client.close();
  }
});

test('a /version whose address would add lines to the ini is refused, without a session, and nothing is written', async () => {
  const client = await connectClient(service.port);
  try {
    const ini = path.join(service.dir, 'SvcNorvaneSiTef.ini');
    const before = fs.readFileSync(ini);
    client.send({ route: '/version', type: 'version', category: 'service_exe', version: '1.0.0.65535',
      download_url: 'x\r\njwt_secret=evil\r\ncallback_verify_tls=0' });
    const reply = JSON.parse(await client.next());
    assert.equal(reply.type, 'error');
    assert.match(reply.message, /^Erro ao verificar versão: download_url inválida/);
    assert.deepEqual(fs.readFileSync(ini), before);
    assert.equal(iniKeys(service.dir).jwt_secret, undefined);
  } finally {
    await client.close();
  }
});
