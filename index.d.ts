// Type declarations of the Corvelle native module.

/**
 * Called with the developer-tools service's answer to {@link OstrelAdapter.getServicePort}.
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
 * One participant on the messaging bus. Construction joins the bus and blocks the
 * calling thread until the bus answers (it retries while the bus is not there yet).
 */
export declare class OstrelAdapter {
  /**
   * @param appId This participant's application id, e.g. "QOVR" for the developer-tools
   *   service.
   * @param appVersion This participant's application version.
   * @param targetAppId Default destination application of `setServerDetails`; without it
   *   the announcement goes to everybody.
   * @throws TypeError "Wrong number of arguments" with fewer than two arguments.
   */
  constructor(appId: string, appVersion: string, targetAppId?: string);

  /**
   * The known host applications on the bus, one entry each: short code, version and
   * display name separated by commas, e.g. "RS,1.0,Quorlen Rasterine".
   */
  getAppsList(): string[];

  /**
   * Stores the service's details and announces that the service is running (true) or has
   * stopped (false). From then on the adapter answers host applications and clients with
   * these details by itself.
   */
  setServerDetails(isServerStarted: boolean, payload: string): void;

  /**
   * Asks the developer-tools service on the bus for its details; its answer reaches
   * `callback` later, on the script thread. The callback keeps the process alive until
   * {@link disconnect}.
   */
  getServicePort(callback: ServicePortCallback): void;

  /** Stops delivering messages to script and releases the callback of getServicePort. */
  disconnect(): void;
}
