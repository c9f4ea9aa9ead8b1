// An ES-module TypeScript user (module: nodenext) with named imports from the package.
// Compiled and then run: it prints what the imports are at run time.
import { OstrelAdapter, waitForBus, findService } from 'corvelle';
import type { ServiceAnswer, CorvelleError } from 'corvelle';
import corvelle from 'corvelle';

const lookup: (options?: { timeoutMs?: number }) => Promise<ServiceAnswer> = findService;

let code: CorvelleError['code'] | undefined;
try {
  await waitForBus({ address: 'not a bus address' });
} catch (err) {
  code = (err as CorvelleError).code;
}

console.log(JSON.stringify({
  adapter: typeof OstrelAdapter,
  methods: Object.getOwnPropertyNames(OstrelAdapter.prototype).sort(),
  lookup: typeof lookup,
  sameAsDefault: corvelle.OstrelAdapter === OstrelAdapter && corvelle.findService === findService,
  code,
}));
