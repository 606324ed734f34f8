// norvane-tef as a sales application gets it: the tarball `npm pack` makes, installed into an
// application of its own, imported by its name, and its TypeScript declarations, which must
// name exactly what the module exports and compile the usage sample (types/sample.ts).
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, test } from 'node:test';
import ts from 'typescript';

const web = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const tsc = path.join(web, 'node_modules', '.bin', 'tsc');
let work, app, tarball;

before(() => {
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-tef-package-'));
  const packed = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', work], { cwd: web, encoding: 'utf8' }));
  tarball = { file: path.join(work, packed[0].filename), files: packed[0].files.map((f) => f.path).sort() };
  app = path.join(work, 'vendas');
  fs.mkdirSync(app);
  fs.writeFileSync(path.join(app, 'package.json'), JSON.stringify({ name: 'vendas', private: true, type: 'module' }));
  // From the tarball, with no registry: the library depends on nothing.
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error', tarball.file], { cwd: app });
});
after(() => fs.rmSync(work, { recursive: true, force: true }));

test('the tarball holds the module and its declarations, and nothing of the demo or the tests', () => {
  assert.deepEqual(tarball.files, ['norvane-tef.d.ts', 'norvane-tef.js', 'package.json']);
  const manifest = JSON.parse(fs.readFileSync(path.join(app, 'node_modules', 'norvane-tef', 'package.json'), 'utf8'));
  assert.deepEqual(manifest.dependencies ?? {}, {});
});

test('the declarations name exactly what the installed module exports, and every member of NorvaneTef', async () => {
  const runtime = await import(path.join(app, 'node_modules', 'norvane-tef', 'norvane-tef.js'));
  const declarations = path.join(app, 'node_modules', 'norvane-tef', 'norvane-tef.d.ts');
  const program = ts.createProgram([declarations], { strict: true, noEmit: true });
  const checker = program.getTypeChecker();
  const module = checker.getSymbolAtLocation(program.getSourceFile(declarations));
  const values = checker.getExportsOfModule(module).filter((s) => s.flags & ts.SymbolFlags.Value).map((s) => s.name);
  assert.deepEqual(values.sort(), Object.keys(runtime).sort());

  const tefClass = checker.getExportsOfModule(module).find((s) => s.name === 'NorvaneTef');
  const instance = checker.getDeclaredTypeOfSymbol(tefClass);
  const tef = new runtime.NorvaneTef({ WebSocket: class {} });
  for (const member of checker.getPropertiesOfType(instance)) {
    assert.ok(member.name in tef, `NorvaneTef.${member.name} is declared but the module has no such member`);
    const isMethod = (member.flags & ts.SymbolFlags.Method) !== 0;
    assert.equal(typeof tef[member.name] === 'function', isMethod, `NorvaneTef.${member.name}: method or property`);
  }
  assert.equal(new runtime.TefError('x').connectionLost, false);
});

test('the usage sample compiles with tsc --noEmit against the installed package; a wrong call does not', () => {
  const config = { compilerOptions: { target: 'ES2022', module: 'NodeNext', moduleResolution: 'NodeNext',
    lib: ['ES2022', 'DOM'], strict: true, noEmit: true } };
  fs.copyFileSync(path.join(web, 'types', 'sample.ts'), path.join(app, 'sample.ts'));
  fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({ ...config, files: ['sample.ts'] }));
  const good = spawnSync(tsc, ['--noEmit', '-p', app], { encoding: 'utf8' });
  assert.equal(good.status, 0, good.stdout + good.stderr);

  // The declarations are read, not taken as `any`: an amount as text and an unknown option fail.
  fs.writeFileSync(path.join(app, 'wrong.ts'), [
    "import { NorvaneTef } from 'norvane-tef';",
    'const tef = new NorvaneTef({ dialogue: { menu: () => true } });',
    "export const paid = tef.pay({ operation: 3, value: '10,50' });",
  ].join('\n'));
  fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({ ...config, files: ['wrong.ts'] }));
  const wrong = spawnSync(tsc, ['--noEmit', '-p', app], { encoding: 'utf8' });
  assert.notEqual(wrong.status, 0);
  assert.match(wrong.stdout, /wrong\.ts\(2,[0-9]+\): error TS2322/);
  assert.match(wrong.stdout, /wrong\.ts\(3,[0-9]+\): error TS2322/);
});
