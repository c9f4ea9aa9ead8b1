// A TypeScript user of the module's declarations. It must compile as it is. The lines
// marked as expected errors below are mistakes the declarations must catch: tsc reports
// such a mark when there is nothing for it to catch.
import {
  OstrelAdapter, ServicePortCallback, waitForBus, findService, connect, ServiceAnswer, CorvelleError,
} from 'corvelle';

const service = new OstrelAdapter('QOVR', '1.0');
const client = new OstrelAdapter('corvelle-cli', '1.0', 'QOVR');
const untargeted = new OstrelAdapter('corvelle-cli', '1.0', undefined);
void untargeted;

const apps: string[] = service.getAppsList();
const first: string | undefined = apps[0];
service.setServerDetails(true, JSON.stringify({ port: 8123 }));
const nothing: void = service.setServerDetails(false, '');

const onDetails: ServicePortCallback = (type, payload, appId, appVersion) => {
  const texts: string[] = [type, payload, appId, appVersion];
  void texts;
};
client.getServicePort(onDetails);
client.getServicePort((type: string, payload: string) => {
  const details: { port: number } = JSON.parse(payload);
  void type;
  void details;
});
client.disconnect();

// @ts-expect-error the application version is required
new OstrelAdapter('QOVR');
// @ts-expect-error the configuration texts are strings
new OstrelAdapter('QOVR', 1.0);
// @ts-expect-error the first argument of setServerDetails is a boolean
service.setServerDetails('yes', 'x');
// @ts-expect-error the payload is a string
service.setServerDetails(true, { port: 8123 });
// @ts-expect-error setServerDetails needs the payload
service.setServerDetails(true);
// @ts-expect-error getServicePort needs a callback
client.getServicePort();
// @ts-expect-error the callback's arguments are strings
client.getServicePort((type: number) => void type);
// @ts-expect-error the callback gets four arguments, not five
client.getServicePort((a: string, b: string, c: string, d: string, e: string) => void [a, b, c, d, e]);
// @ts-expect-error getAppsList gives strings, not objects
const wrong: { appId: string }[] = service.getAppsList();

// The helpers: Promises of the bus address and of the service's answer.
async function helpers(): Promise<number> {
  const address: string = await waitForBus();
  await waitForBus({ address, timeoutMs: 500, signal: new AbortController().signal });
  try {
    const answer: ServiceAnswer = await findService({ timeoutMs: 2000 });
    const texts: string[] = [answer.type, answer.payload, answer.appId, answer.appVersion];
    return texts.length;
  } catch (err) {
    const { code } = err as CorvelleError;
    if (code === 'ERR_CORVELLE_SERVICE_TIMEOUT' || code === 'ABORT_ERR') return 0;
    throw err;
  }
}
void helpers;
// @ts-expect-error waitForBus resolves to the address text
const notANumber: Promise<number> = waitForBus();
void findService({ address: 'unix:path=/tmp/bus' });
// connect: the adapter, with or without the application id to answer.
async function connecting(): Promise<OstrelAdapter[]> {
  const signal = new AbortController().signal;
  return [
    await connect('QOVR', '1.0'),
    await connect('QOVR', '1.0', { address: 'unix:path=/tmp/bus', timeoutMs: 500, signal }),
    await connect('QOVR', '1.0', 'RSTN', { timeoutMs: 500 }),
  ];
}
void connecting;
// @ts-expect-error connect needs an application id and version
void connect('QOVR');
// @ts-expect-error connect resolves to an adapter, not the address
const notAText: Promise<string> = connect('QOVR', '1.0');
// @ts-expect-error the time limit is a number of milliseconds
void waitForBus({ timeoutMs: '500' });
// @ts-expect-error the answer has no port of its own: it is in the payload
void findService().then((answer) => answer.port);
// @ts-expect-error error codes are a closed set
const unknownCode: CorvelleError['code'] = 'ERR_SOMETHING_ELSE';

void notANumber;
void notAText;
void unknownCode;
void first;
void nothing;
void wrong;
