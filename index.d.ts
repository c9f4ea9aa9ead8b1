// Type declarations of the Corvelle package: the native class OstrelAdapter and the
// Promise helpers beside it. The same names work with `require('corvelle')` and with
// `import { OstrelAdapter, connect, waitForBus, findService } from 'corvelle'`.

/**
 * Called with the developer-tools service's answer to {@link OstrelAdapter.getServicePort}.
 * Runs on the script thread. It is called once for every answer that reaches the process
 * until {@link OstrelAdapter.disconnect}, so it may run more than once: when
 * getServicePort asks again (from any adapter of the same thread) or when several services
 * answer. Once disconnect has returned it is not called again. An exception thrown here is not caught by the module: it reaches the process's
 * `uncaughtException` handling like any other uncaught error. Answers are delivered in the
 * order they arrived. A lone answer is delivered as soon as the script thread is free;
 * while answers stream in (more than one within a millisecond), they are delivered
 * together about once a millisecond. At most 4096 answers (16 MiB) wait for script: a
 * callback that falls that far behind loses the newest, with one warning line.
 *
 * @param type The message type as it travelled on the bus, e.g.
 *   "ostrel.SuiteMessage.zem.devtools.server.info".
 * @param payload The service's details, as the service gave them to `setServerDetails`.
 * @param appId Application id of the answering service (normally "QOVR").
 * @param appVersion Application version of the answering service.
 */
export type ServicePortCallback = (
  type: string,
  payload: string,
  appId: string,
  appVersion: string,
) => void;

/**
 * One participant on the messaging bus.
 *
 * The bus it joins, by the package's one rule (README, "Which bus"):
 * `OSTREL_BUS_ADDRESS`, else the session bus when it answers
 * (`DBUS_SESSION_BUS_ADDRESS`, else `$XDG_RUNTIME_DIR/bus`), else the per-user private
 * bus of `corvelle start` (`$XDG_RUNTIME_DIR/corvelle/bus`, else `$TMPDIR/corvelle-<uid>/bus`).
 * `corvelle bus` prints which one that is. {@link connect} takes an `address` instead.
 *
 * Keep a reference to an adapter for as long as it should be on the bus: once the
 * garbage collector frees it, it leaves the bus (and stops answering).
 *
 * Shared by all adapters of a process (also across worker threads):
 * - one connection to the bus; it joins under the application id and version of the
 *   adapter that opened it, and later adapters share it while any adapter holds it;
 * - one diagnostic logger, which writes lines on standard output: constructing an
 *   adapter installs it, and destroying any adapter (when the garbage collector frees
 *   it) removes it for all of them.
 *
 * Shared by the adapters of one thread (the main thread, or one worker thread):
 * - one getServicePort callback: the latest {@link getServicePort} of any adapter of the
 *   thread replaces the one before, and {@link disconnect} of any of them stops it. What
 *   an adapter receives goes to its own thread's callback; another thread's callback, and
 *   the end of another worker, never affect it.
 */
export declare class OstrelAdapter {
  /**
   * The most bytes one bus message carries: its full type, the sender's application id
   * and version and the payload, added up (1000000).
   */
  static readonly MAX_MESSAGE_BYTES: number;

  /**
   * Joins the bus. **This blocks the calling thread** (the event loop stops: no timers,
   * no I/O, no callbacks) until the bus answers and the list of host applications has
   * been fetched. While the bus is not there the constructor retries every six seconds
   * for up to about ten minutes; when it still cannot join, or no bus address is known,
   * it returns normally, writes one diagnostic line that says why, and the adapter does
   * nothing: no error is thrown, getAppsList gives an
   * empty list, announcements and questions go nowhere. Use {@link connect} to wait
   * without blocking and get the adapter once the bus answers.
   *
   * @param appId This participant's application id, e.g. "QOVR" for the developer-tools
   *   service. With an empty one the adapter joins nothing (and does not throw).
   * @param appVersion This participant's application version.
   * @param targetAppId Default destination application of `setServerDetails`; without it,
   *   or when it is `undefined`, the announcement goes to everybody.
   * @throws {TypeError} "Wrong number of arguments" with fewer than two arguments.
   * @throws {TypeError} when `appId`, `appVersion` or a given `targetAppId` is not a
   *   string ("A string was expected").
   * @throws {TypeError} when `appId`, `appVersion` or `targetAppId` holds a zero byte
   *   ("Expected appId to be a string without zero bytes", and so on); such a text could
   *   not be put on the bus as it stands.
   */
  constructor(appId: string, appVersion: string, targetAppId?: string | undefined);

  /**
   * The known host applications on the bus, one entry each: short code, version and
   * display name separated by commas, e.g. "RS,1.0,Quorlen Rasterine". Only the host
   * applications the module knows are listed (RSTN, WRLM, VCTR, FOLM and ZEMD); a host of
   * another application id is answered like any other but not listed. Empty when the
   * adapter did not join a bus. Never throws.
   */
  getAppsList(): string[];

  /**
   * Stores the service's details and announces that the service is running (true) or has
   * stopped (false). From then on the adapter answers host applications and clients with
   * these details by itself. Does nothing on the bus when the adapter did not join one.
   *
   * @throws {TypeError} when `isServerStarted` is not a boolean or `payload` not a string.
   * @throws {TypeError} "Expected payload to be a string without zero bytes"; nothing is
   *   sent and the details given before stay.
   * @throws {RangeError} when the details cannot travel in one bus message: longer than
   *   {@link OstrelAdapter.MAX_MESSAGE_BYTES} minus the longest type they are sent with
   *   ("ostrel.SuiteMessage.zem.devtools.server.terminated", 50 bytes) and the bytes of
   *   the application id and version the adapter is on the bus with (999,943 bytes for
   *   "QOVR", "1.0"). The message names the limit; nothing is stored or sent and the
   *   details given before stay.
   */
  setServerDetails(isServerStarted: boolean, payload: string): void;

  /**
   * Asks the developer-tools service on the bus for its details; each answer reaches
   * `callback` later, on the script thread, possibly more than once (see
   * {@link ServicePortCallback}). The callback serves every adapter of the calling
   * thread: it replaces one given earlier to any adapter of that thread (which still gets
   * the answers already waiting for it). It keeps the thread alive until
   * {@link disconnect}. For one answer with a time limit, use {@link findService}.
   *
   * @throws {TypeError} when `callback` is not a function.
   * @throws {Error} "Cannot set the service port callback" when Node-API cannot make the
   *   thread-safe function for it (the thread's environment is ending).
   */
  getServicePort(callback: ServicePortCallback): void;

  /**
   * Stops delivering messages to script at once and releases the callback of
   * getServicePort (of this thread: whichever of its adapters set it), so that it no
   * longer keeps the thread alive. Once it returns no callback of this thread is called
   * again, also not with answers that had already arrived. This adapter stops listening too: it no longer answers host applications and
   * clients until setServerDetails or getServicePort is called again. It stays a
   * participant of the bus (getAppsList still works). Never throws; calling it again
   * does nothing more.
   */
  disconnect(): void;
}

/**
 * The error codes of {@link connect}, {@link waitForBus} and {@link findService}, found
 * on `error.code`. (There is always a bus to try: the rule ends at the per-user private
 * bus, so "ERR_CORVELLE_NO_BUS_ADDRESS" of earlier versions no longer occurs.)
 * - "ERR_CORVELLE_BAD_BUS_ADDRESS": the address is not a D-Bus address, or names no unix
 *   or tcp transport that can be checked.
 * - "ERR_CORVELLE_BUS_TIMEOUT": the bus did not answer within the time limit.
 * - "ERR_CORVELLE_SERVICE_TIMEOUT": the bus answered, the service did not.
 * - "ERR_CORVELLE_BUS_IN_USE" ({@link connect}): adapters of this process are on
 *   another bus (`current`, the error's property, names it); all adapters of a process
 *   share one connection.
 * - "ABORT_ERR": the signal aborted (an `AbortError`, with the signal's reason as
 *   `cause`).
 * - "ERR_INVALID_ARG_VALUE": an option of the wrong kind (a `TypeError`).
 */
export type CorvelleErrorCode =
  | 'ERR_CORVELLE_BAD_BUS_ADDRESS'
  | 'ERR_CORVELLE_BUS_TIMEOUT'
  | 'ERR_CORVELLE_SERVICE_TIMEOUT'
  | 'ERR_CORVELLE_BUS_IN_USE'
  | 'ABORT_ERR'
  | 'ERR_INVALID_ARG_VALUE';

/** An error with which {@link connect}, {@link waitForBus} or {@link findService} rejects. */
export interface CorvelleError extends Error {
  code: CorvelleErrorCode;
  /** The bus address concerned, where there is one. */
  address?: string;
}

export interface WaitForBusOptions {
  /**
   * The D-Bus address to use. Default: the bus the package's rule picks
   * (`OSTREL_BUS_ADDRESS`, else the session bus when it answers, else the per-user private
   * bus; see {@link OstrelAdapter}).
   */
  address?: string;
  /** How long to wait, in milliseconds (default 10000). */
  timeoutMs?: number;
  /** Ends the wait early; the Promise then rejects with an AbortError. */
  signal?: AbortSignal;
}

/**
 * Resolves with the bus address once the bus answers (a D-Bus server replies on it),
 * trying again every 100 ms while it is not there. It never blocks the script thread.
 * After it resolves, constructing an {@link OstrelAdapter} joins at once instead of
 * waiting. Rejects with a {@link CorvelleError}: "ERR_CORVELLE_BUS_TIMEOUT",
 * "ERR_CORVELLE_BAD_BUS_ADDRESS", "ABORT_ERR" or "ERR_INVALID_ARG_VALUE"; it never
 * throws.
 *
 * @example
 * const address = await waitForBus({ timeoutMs: 30000 });
 */
export declare function waitForBus(options?: WaitForBusOptions): Promise<string>;

/** Options of {@link connect}: as {@link WaitForBusOptions}. */
export type ConnectOptions = WaitForBusOptions;

/**
 * Waits for the bus without blocking (as {@link waitForBus}), hands its address to the
 * messaging library, then constructs the adapter (which joins at once, as the bus is
 * there) and resolves with it. An abort or a time-out while waiting leaves nothing behind:
 * no adapter, no address handed over. Rejects with a {@link CorvelleError}:
 * "ERR_CORVELLE_BUS_TIMEOUT", "ERR_CORVELLE_BAD_BUS_ADDRESS", "ERR_CORVELLE_BUS_IN_USE",
 * "ABORT_ERR" or "ERR_INVALID_ARG_VALUE"; it never throws. The adapter's own argument
 * errors (a text with a zero byte) reject as the constructor's `TypeError`.
 *
 * @example
 * const service = await connect('QOVR', '1.0', { timeoutMs: 30000 });
 * service.setServerDetails(true, JSON.stringify({ port: 8080 }));
 */
export declare function connect(
  appId: string,
  appVersion: string,
  options?: ConnectOptions,
): Promise<OstrelAdapter>;
export declare function connect(
  appId: string,
  appVersion: string,
  targetAppId: string,
  options?: ConnectOptions,
): Promise<OstrelAdapter>;

export interface FindServiceOptions {
  /** The D-Bus address to ask on. Default: the bus the package's rule picks. */
  address?: string;
  /** How long to wait for the bus and the answer together, in milliseconds (default 3000). */
  timeoutMs?: number;
  /** Ends the wait early; the Promise then rejects with an AbortError. */
  signal?: AbortSignal;
}

/** The developer-tools service's answer: the arguments of a {@link ServicePortCallback}. */
export interface ServiceAnswer {
  type: string;
  payload: string;
  appId: string;
  appVersion: string;
}

/**
 * Asks the developer-tools service on the bus for its details and resolves with the
 * first answer. It waits for the bus first (as {@link waitForBus}), so a missing bus
 * costs no more than `timeoutMs`; then it asks from a short-lived child process of the
 * same runtime, with an adapter of its own (application id "corvelle-cli"), which ends
 * when the answer came or the caller gave up. So it changes nothing of this process's
 * adapters, before or after it: not their application id, not their bus, not the
 * getServicePort callback.
 *
 * Rejects with a {@link CorvelleError}: "ERR_CORVELLE_SERVICE_TIMEOUT",
 * "ERR_CORVELLE_BUS_TIMEOUT", "ERR_CORVELLE_BAD_BUS_ADDRESS", "ABORT_ERR" or
 * "ERR_INVALID_ARG_VALUE"; it never throws.
 *
 * @example
 * const { payload } = await findService({ timeoutMs: 5000 });
 * const { port } = JSON.parse(payload);
 */
export declare function findService(options?: FindServiceOptions): Promise<ServiceAnswer>;
