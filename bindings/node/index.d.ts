/** A set of trusted public keys; immutable once made, and safe to share between calls. */
export declare class Keys {
  private constructor();
  /**
   * Reads a key file as `plugin_verify -p` does: one Base64 key a line, optionally followed by
   * ` names=` and name patterns, `#` comments, or a PEM PUBLIC KEY block. Throws a
   * {@link VerifyError} (UNREADABLE, INVALID_KEY) for a file that cannot be read, that every
   * user may write to, or whose text is refused.
   */
  static fromFile(path: string): Keys;
  /** Takes the text of a key file. Throws a {@link VerifyError} (INVALID_KEY). */
  static fromText(text: string): Keys;
  /** The number of keys in the set. */
  readonly count: number;
}

/** Revoked keys and packages: refused although a trusted key verifies them. */
export declare class Revocations {
  private constructor();
  /** Reads a revocation file as `plugin_verify -r` does. Throws a {@link VerifyError}. */
  static fromFile(path: string): Revocations;
  /** Takes the text of a revocation file. Throws a {@link VerifyError} (INVALID_KEY). */
  static fromText(text: string): Revocations;
}

/** Limits on the sizes a package's entries declare; 0 or absent means the default. */
export interface Limits {
  /** plugin.toml, 1 MiB by default. */
  pluginToml?: number | bigint;
  /** main.wasm, 4 GiB by default. */
  mainWasm?: number | bigint;
}

export interface VerifyOptions {
  /** The trusted keys. */
  keys: Keys;
  /** The package name the host asked for: a package named otherwise is refused (NAME_MISMATCH). */
  name?: string;
  /** Revoked keys and packages (REVOKED). */
  revocations?: Revocations;
  limits?: Limits;
  /**
   * The version record's path: a package older than the highest version of its name accepted
   * before, or another release of a recorded version, is refused (ROLLBACK); one that verifies
   * is recorded. Created when missing (its directory must exist).
   */
  record?: string;
}

/** A verified package: the bytes that were checked, copied into memory JavaScript owns. */
export interface VerifiedPackage {
  name: string;
  version: string;
  /** The key ID of the key that verified the signature: 16 hexadecimal digits. */
  keyId: string;
  /** That key's 32 bytes. */
  publicKey: Uint8Array;
  /** SHA-256 of the signed manifest: the package's identity, equal for every ZIP encoding. */
  manifestSha256: string;
  pluginTomlSha256: string;
  mainWasmSha256: string;
  pluginToml: Uint8Array;
  mainWasm: Uint8Array;
}

/** The library's status, in words; a status newer than this package is `STATUS_<number>`. */
export type VerifyErrorCode =
  | 'BAD_SIGNATURE'
  | 'NAME_NOT_ALLOWED'
  | 'MALFORMED'
  | 'TOO_LARGE'
  | 'UNREADABLE'
  | 'OUT_OF_MEMORY'
  | 'INVALID_KEY'
  | 'INVALID_ARGUMENT'
  | 'REVOKED'
  | 'NAME_MISMATCH'
  | 'ROLLBACK'
  | `STATUS_${number}`;

/**
 * Why a package, key file or revocation file was refused: `message` is the library's reason.
 * An argument of the wrong type or an unknown option is a TypeError with code INVALID_ARGUMENT.
 * When the library tells them for a refused package, the package's facts come with it.
 */
export interface VerifyError extends Error {
  code: VerifyErrorCode;
  packageName?: string;
  packageVersion?: string;
  keyId?: string;
  manifestSha256?: string;
}

/** Reads the package file and verifies it, off the JavaScript thread. Rejects with a VerifyError. */
export declare function verify(path: string, options: VerifyOptions): Promise<VerifiedPackage>;

/**
 * Verifies a package already in memory, off the JavaScript thread. The bytes are copied when
 * the call is made: the caller may change its buffer at once. Rejects with a VerifyError.
 */
export declare function verifyBytes(
  bytes: ArrayBufferView | ArrayBuffer,
  options: VerifyOptions,
): Promise<VerifiedPackage>;

/** The version of the verification library that is loaded, e.g. "1.0.0". */
export declare const libraryVersion: string;

declare const api: {
  verify: typeof verify;
  verifyBytes: typeof verifyBytes;
  Keys: typeof Keys;
  Revocations: typeof Revocations;
  libraryVersion: string;
};
export default api;
