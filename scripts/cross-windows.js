#!/usr/bin/env node
// Helpers of scripts/cross-windows.sh, the MinGW-w64 cross build of the module.
//
//   node scripts/cross-windows.js node-def <Node include dir>
//     The .def of node.exe for a stub import library: every function that Node's headers
//     declare for addons to import (NAPI_EXTERN in js_native_api.h and node_api.h,
//     UV_EXTERN in uv.h).
//   node scripts/cross-windows.js ostrel-def < ast.json
//     The .def of OstrelMessage5.dll: the members of the classes that the interface header
//     marks for import (OSTREL_API is dllimport there), read from clang's JSON syntax tree
//     of the header compiled for the MinGW-w64 target, which also gives their mangled
//     names.
//   node scripts/cross-windows.js check <objdump> <corvelle.node>
//     Reads the built module with objdump and checks that it is a PE DLL that exports the
//     module entry, imports OstrelMessage5.dll, takes Node's functions through the
//     delay-load path for "node.exe" with the hook that binds them to the host process,
//     and needs no MinGW runtime DLL. Exits 1 when any of these does not hold.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

function fail(message) {
  console.error(`cross-windows: ${message}`);
  process.exit(1);
}

// ---- .def files -------------------------------------------------------------------------

function writeDef(library, exports) {
  const lines = [`LIBRARY "${library}"`, 'EXPORTS'];
  for (const e of exports) lines.push(`  ${e.name}${e.data ? ' DATA' : ''}`);
  process.stdout.write(lines.join('\n') + '\n');
}

// Names of the functions declared with `marker` in a C header.
function declaredFunctions(file, marker) {
  const text = fs
    .readFileSync(file, 'utf8')
    .replace(/\/\*[\s\S]*?\*\//g, ' ')
    .replace(/\/\/.*$/gm, '')
    .replace(/^\s*#.*$/gm, '');
  const declaration = new RegExp(`\\b${marker}\\b[^;{]*?\\b([A-Za-z_]\\w*)\\s*\\(`, 'g');
  const names = [];
  for (let m; (m = declaration.exec(text)); ) names.push(m[1]);
  return names;
}

function nodeDef(includeDir) {
  const sources = [
    ['js_native_api.h', 'NAPI_EXTERN'],
    ['node_api.h', 'NAPI_EXTERN'],
    ['uv.h', 'UV_EXTERN'],
  ];
  const names = new Set();
  for (const [file, marker] of sources) {
    const found = declaredFunctions(path.join(includeDir, file), marker);
    if (found.length === 0) fail(`no ${marker} declarations in ${path.join(includeDir, file)}`);
    console.error(`node.exe: ${found.length} functions declared in ${file}`);
    for (const name of found) names.add(name);
  }
  writeDef('node.exe', [...names].sort().map((name) => ({ name })));
}

const attrs = (node) => (node.inner || []).filter((c) => c.kind.endsWith('Attr'));
const hasAttr = (node, kind) => attrs(node).some((a) => a.kind === kind);
const hasBody = (node) => (node.inner || []).some((c) => c.kind === 'CompoundStmt');

// The symbols a library defines for one member of a dllimport class: constructors and
// destructors come in several variants under the Itanium C++ ABI that MinGW uses
// (complete and base object; deleting, for a virtual destructor).
function memberSymbols(member, className, isPolymorphic) {
  const name = member.mangledName;
  const variant = (from, to) => {
    const complete = new RegExp(`(\\d+${className})${from}E`);
    if (!complete.test(name)) fail(`unexpected name ${name} for ${className}::${member.name}`);
    return name.replace(complete, `$1${to}E`);
  };
  if (member.kind === 'CXXConstructorDecl') return [name, variant('C1', 'C2')];
  if (member.kind === 'CXXDestructorDecl') {
    const variants = [name, variant('D1', 'D2')];
    if (isPolymorphic) variants.push(variant('D1', 'D0'));
    return variants;
  }
  return [name];
}

function ostrelDef(ast) {
  const exports = [];
  const polymorphic = new Set();
  const classes = [];
  (function walk(node) {
    if (node.kind === 'CXXRecordDecl' && node.completeDefinition && hasAttr(node, 'DLLImportAttr')) {
      const members = node.inner || [];
      const isPolymorphic =
        members.some((m) => m.virtual || m.pure || hasAttr(m, 'OverrideAttr')) ||
        (node.bases || []).some((b) => polymorphic.has(b.type.qualType.replace(/^.*::/, '')));
      if (isPolymorphic) polymorphic.add(node.name);
      classes.push(node.name);
      for (const m of members) {
        if (!/^(CXXMethodDecl|CXXConstructorDecl|CXXDestructorDecl|VarDecl)$/.test(m.kind)) continue;
        // Only what the library itself defines: not pure, not defaulted, not inline.
        if (!hasAttr(m, 'DLLImportAttr') || m.pure || m.isImplicit || m.explicitlyDefaulted ||
            m.explicitlyDeleted || m.inline || m.constexpr || hasBody(m)) {
          continue;
        }
        if (!m.mangledName) fail(`no mangled name for ${node.name}::${m.name}`);
        const data = m.kind === 'VarDecl';
        for (const name of memberSymbols(m, node.name, isPolymorphic)) exports.push({ name, data });
      }
    }
    for (const child of node.inner || []) walk(child);
  })(ast);
  if (exports.length === 0) fail('no members of dllimport classes in the syntax tree');
  console.error(`OstrelMessage5.dll: ${exports.length} symbols of ${classes.join(', ')}`);
  writeDef('OstrelMessage5.dll', exports);
}

// ---- checking the built module ----------------------------------------------------------

// The PE image as objdump reads it: headers, sections, symbols; bytes by virtual address.
class Image {
  constructor(objdump, file) {
    this.objdump = objdump;
    this.file = file;
    this.bytes = fs.readFileSync(file);
    this.headers = this.run(['-p']);
    const base = /^ImageBase\s+([0-9a-f]+)/m.exec(this.headers);
    if (!base) fail(`${file}: objdump shows no ImageBase; is it a PE image?`);
    this.imageBase = BigInt(`0x${base[1]}`);
    // "  0 .text  000d2130  000000030ce91000  000000030ce91000  00000600  2**4"
    this.sections = [];
    for (const m of this.run(['-h']).matchAll(
        /^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+2\*\*\d+\n\s+(.*)$/gm)) {
      this.sections.push({
        name: m[1],
        size: BigInt(`0x${m[2]}`),
        vma: BigInt(`0x${m[3]}`),
        fileOffset: Number(`0x${m[4]}`),
        hasContents: m[5].includes('CONTENTS'),
      });
    }
    // "[ 95](sec  1)(fl 0x00)(ty   20)(scl   2) (nx 1) 0x0000000000000380 _ZN8corvelle..."
    // The value is relative to the section.
    this.symbols = new Map();
    for (const m of this.run(['-t']).matchAll(
        /^\[\s*\d+\]\(sec\s+(-?\d+)\).*?0x([0-9a-f]+) (\S+)$/gm)) {
      const section = this.sections[Number(m[1]) - 1];
      if (section) this.symbols.set(m[3], section.vma + BigInt(`0x${m[2]}`));
    }
  }

  run(args) {
    return execFileSync(this.objdump, [...args, this.file], {
      encoding: 'utf8',
      maxBuffer: 256 * 1024 * 1024,
    });
  }

  // Bytes at a virtual address; null where the image holds none (outside, or in .bss).
  read(va, length) {
    for (const s of this.sections) {
      if (va >= s.vma && va + BigInt(length) <= s.vma + s.size) {
        if (!s.hasContents) return null;
        const at = s.fileOffset + Number(va - s.vma);
        return this.bytes.subarray(at, at + length);
      }
    }
    return null;
  }

  readString(va) {
    const chars = [];
    for (let i = 0n; i < 512n; i++) {
      const b = this.read(va + i, 1);
      if (!b) return null;
      if (b[0] === 0) return Buffer.from(chars).toString('latin1');
      chars.push(b[0]);
    }
    return null;
  }

  readU32(va) {
    const b = this.read(va, 4);
    return b ? b.readUInt32LE(0) : null;
  }

  readU64(va) {
    const b = this.read(va, 8);
    return b ? b.readBigUInt64LE(0) : null;
  }

  // The regular import table: DLL name -> imported names.
  imports() {
    const tables = new Map();
    let current = null;
    for (const line of this.headers.split('\n')) {
      const dll = /^\s*DLL Name: (.+?)\s*$/.exec(line);
      if (dll) {
        current = [];
        tables.set(dll[1], current);
        continue;
      }
      const entry = /^\s*[0-9a-f]+\s+\d+\s+(\S+)/.exec(line);
      if (current && entry) current.push(entry[1]);
      if (/^\s*$/.test(line) && current && current.length > 0) current = null;
    }
    return tables;
  }

  exports() {
    const table = /\[Ordinal\/Name Pointer\] Table\n([\s\S]*?)(\n\s*\n|$)/.exec(this.headers);
    if (!table) return [];
    return [...table[1].matchAll(/^\s*\[\s*\d+\]\s+(\S+)/gm)].map((m) => m[1]);
  }

  // The delay-import descriptors (ImgDelayDescr): DLL name and imported names. GNU ld
  // leaves the optional header's Delay Import Directory empty, so they are found through
  // the descriptor symbols that dlltool's delay-import libraries define.
  delayImports() {
    const result = [];
    for (const [name, va] of this.symbols) {
      if (!name.startsWith('__DELAY_IMPORT_DESCRIPTOR_')) continue;
      const attributes = this.readU32(va);
      const fields = [4, 8, 12, 16].map((o) => this.readU32(va + BigInt(o)));
      if (attributes !== 1 || fields.includes(null)) {
        result.push({ symbol: name, dll: null, names: [] });
        continue;
      }
      const [nameRva, , iatRva, intRva] = fields;
      const base = this.imageBase;
      const names = [];
      for (let i = 0n; ; i += 8n) {
        const thunk = this.readU64(base + BigInt(intRva) + i);
        if (thunk === null || thunk === 0n) break;
        // By name (hint, then the name); an ordinal import has the top bit set.
        names.push(thunk >> 63n ? `#${thunk & 0xffffn}` : this.readString(base + thunk + 2n));
      }
      result.push({
        symbol: name,
        dll: this.readString(base + BigInt(nameRva)),
        iat: base + BigInt(iatRva),
        names,
      });
    }
    return result;
  }

  // Disassembly of one function: the lines from its label to the next label.
  disassemble(symbol) {
    const text = this.run(['-d', '--no-show-raw-insn', `--disassemble=${symbol}`]);
    const start = text.indexOf(`<${symbol}>:`);
    if (start < 0) return [];
    const lines = text.slice(start).split('\n').slice(1);
    const end = lines.findIndex((l) => /^[0-9a-f]+ <.*>:$/.test(l));
    return end < 0 ? lines : lines.slice(0, end);
  }
}

const isNodeFunction = (name) => /^(napi_|node_api_|uv_)/.test(name);

function check(objdump, file) {
  const image = new Image(objdump, file);
  const results = [];
  const fact = (ok, text) => results.push({ ok, text });

  // 1. A PE DLL that exports the module entry.
  const isDll = /^\s*DLL\s*$/m.test(image.headers) && /file format pei-x86-64/.test(image.headers);
  const exported = image.exports();
  fact(isDll && exported.includes('napi_register_module_v1'),
       `a 64-bit PE DLL exporting the module entry napi_register_module_v1 ` +
       `(exports: ${exported.join(', ') || 'none'})`);

  // 2. The vendor's library through the regular import table.
  const imports = image.imports();
  const importsFrom = (dll) =>
    [...imports].filter(([name]) => name.toLowerCase() === dll).flatMap(([, names]) => names);
  const ostrel = importsFrom('ostrelmessage5.dll');
  fact(ostrel.length > 0, `imports ${ostrel.length} symbols from OstrelMessage5.dll`);

  // 3. Node's functions through the delay-load path for "node.exe" only.
  const regularNode = [...imports].filter(
      ([dll, names]) => dll.toLowerCase() === 'node.exe' || names.some(isNodeFunction));
  const delayed = image.delayImports();
  const nodeDelayed = delayed.filter((d) => d.dll && d.dll.toLowerCase() === 'node.exe');
  const otherDelayed = delayed.filter((d) => !nodeDelayed.includes(d));
  const delayedNames = nodeDelayed.flatMap((d) => d.names);
  const nodeSlots = [...image.symbols].filter(
      ([name]) => name.startsWith('__imp_') && isNodeFunction(name.slice(6)));
  const slotsOutside = nodeSlots.filter(([, va]) => !nodeDelayed.some(
      (d) => va >= d.iat && va < d.iat + 8n * BigInt(d.names.length)));
  fact(regularNode.length === 0,
       regularNode.length === 0 ? 'no Node function in the regular import table'
                                : `Node's functions in the regular import table, from ` +
                                  regularNode.map(([dll]) => dll).join(', '));
  fact(delayedNames.filter(isNodeFunction).length > 0 && slotsOutside.length === 0,
       `delay-imports ${delayedNames.length} functions from "node.exe" ` +
       `(${delayedNames.filter((n) => n.startsWith('napi_')).length} napi_, ` +
       `${delayedNames.filter((n) => n.startsWith('uv_')).length} uv_)` +
       (slotsOutside.length
           ? `; ${slotsOutside.length} import slots of Node functions lie outside it, such as ` +
             slotsOutside.slice(0, 3).map(([n]) => n).join(', ')
           : '') +
       otherDelayed.map((d) => `; also delay-imports from ${d.dll || d.symbol}`).join(''));

  // 4. The hook: the helper's notification hook points at the module's function, which
  // compares the library name with "node.exe" and answers with the host's module.
  const hookVa = image.symbols.get('__pfnDliNotifyHook2');
  const hookTarget = hookVa === undefined ? null : image.readU64(hookVa);
  const hookName = [...image.symbols].find(
      ([name, va]) => hookTarget && va === hookTarget && !name.startsWith('.'));
  let hookText = 'the delay-load notification hook __pfnDliNotifyHook2 ';
  let hookOk = false;
  if (hookVa === undefined) {
    hookText += 'is not in the module';
  } else if (!hookTarget) {
    hookText += 'is not set (null)';
  } else if (!hookName) {
    hookText += `points at 0x${hookTarget.toString(16)}, which is no function of the module`;
  } else {
    const code = image.disassemble(hookName[0]);
    const callsModuleHandle = code.some((l) => /<__imp_GetModuleHandle(W|A|ExW|ExA)>/.test(l));
    const names = code
      .map((l) => /#\s*([0-9a-f]+) </.exec(l))
      .filter(Boolean)
      .map((m) => image.readString(BigInt(`0x${m[1]}`)));
    const comparesNode = names.some((s) => s && s.toLowerCase() === 'node.exe');
    hookOk = callsModuleHandle && comparesNode;
    hookText += `points at ${hookName[0]}, which ` +
        `${comparesNode ? 'reads' : 'does NOT read'} the text "node.exe" and ` +
        `${callsModuleHandle ? 'calls' : 'does NOT call'} GetModuleHandle`;
  }
  fact(hookOk, hookText);

  // 5. Loadable next to node.exe alone: no MinGW runtime DLL.
  const runtime = [...imports.keys()].filter((d) => /^lib(stdc\+\+|gcc_s|winpthread)/i.test(d));
  fact(runtime.length === 0,
       `imports only from ${[...imports.keys()].join(', ')} (no MinGW runtime DLL)`);

  for (const r of results) console.log(`${r.ok ? 'ok    ' : 'FAILED'} ${r.text}`);
  if (results.some((r) => !r.ok)) {
    console.log(`${file}: the Windows module check FAILED`);
    process.exit(1);
  }
  console.log(`${file}: the Windows module check passed`);
}

const [what, ...args] = process.argv.slice(2);
if (what === 'node-def' && args.length === 1) {
  nodeDef(args[0]);
} else if (what === 'ostrel-def' && args.length === 0) {
  ostrelDef(JSON.parse(fs.readFileSync(0, 'utf8')));
} else if (what === 'check' && args.length === 2) {
  check(args[0], args[1]);
} else {
  fail('usage: cross-windows.js node-def <include dir> | ostrel-def < ast.json | ' +
       'check <objdump> <module>');
}
