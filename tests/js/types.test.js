'use strict';
// The TypeScript declarations: a small TypeScript user compiles against them (and its
// marked mistakes are refused), and they declare what the built module really has.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const ts = require('typescript');
const pkg = require('../../package.json');
const { OstrelAdapter } = require('./support/inproc');

const root = path.resolve(__dirname, '..', '..');

test('a TypeScript user compiles with tsc --noEmit', () => {
  const tsc = path.join(path.dirname(require.resolve('typescript/package.json')), 'bin', 'tsc');
  const result = spawnSync(process.execPath, [tsc, '--noEmit', '-p', 'tests/types'],
    { cwd: root, encoding: 'utf8' });
  assert.equal(result.status, 0, `tsc:\n${result.stdout}${result.stderr}`);
});

test('the declarations name what the module exports and the package ships them', () => {
  const file = path.join(root, pkg.types);
  assert.equal(pkg.types, 'index.d.ts');
  assert.ok(pkg.files.includes(pkg.types), 'index.d.ts is in the package');

  const program = ts.createProgram([file], { strict: true, types: [] });
  const checker = program.getTypeChecker();
  const moduleSymbol = checker.getSymbolAtLocation(program.getSourceFile(file));
  const exported = checker.getExportsOfModule(moduleSymbol);
  // The values it declares are what the package exports, no more and no less.
  const values = exported.filter((s) => s.flags & (ts.SymbolFlags.Class | ts.SymbolFlags.Function))
    .map((s) => s.name).sort();
  assert.deepEqual(values, Object.keys(require(root)).sort());

  const adapterSymbol = exported.find((s) => s.name === 'OstrelAdapter');
  assert.ok(adapterSymbol, 'OstrelAdapter is declared');

  const instanceType = checker.getDeclaredTypeOfSymbol(adapterSymbol);
  const declared = checker.getPropertiesOfType(instanceType).map((s) => s.name).sort();
  const actual = Object.getOwnPropertyNames(OstrelAdapter.prototype)
    .filter((name) => name !== 'constructor').sort();
  assert.deepEqual(declared, actual);

  // The constructor: two required texts and an optional third.
  const [signature] = checker.getSignaturesOfType(
    checker.getTypeOfSymbolAtLocation(adapterSymbol, adapterSymbol.valueDeclaration),
    ts.SignatureKind.Construct);
  assert.equal(signature.getParameters().length, 3);
  assert.equal(signature.minArgumentCount, 2);

  // The callback of getServicePort: four strings, in the order the module calls it.
  const callback = exported.find((s) => s.name === 'ServicePortCallback');
  const [callSignature] = checker.getSignaturesOfType(
    checker.getDeclaredTypeOfSymbol(callback), ts.SignatureKind.Call);
  assert.deepEqual(callSignature.getParameters().map((p) => p.name),
    ['type', 'payload', 'appId', 'appVersion']);
  for (const p of callSignature.getParameters()) {
    assert.equal(checker.typeToString(checker.getTypeOfSymbol(p)), 'string', p.name);
  }
});
