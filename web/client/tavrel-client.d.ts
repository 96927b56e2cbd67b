// Types of the TavrelH5 reference client (tavrel-client.js) and of the JSON
// bodies the gateway writes for the translated SM_ idents.
//
// Numbers: the gateway writes some members as 64-bit integers (HP, internal
// force, item and event ids among them). JSON.parse, which readBody uses,
// keeps integers exactly only up to 2^53; a client that needs more reads the
// `text` of the message with a parser of its own.

// ---------------------------------------------------------------------------
// Idents

// Idents: written by tavrel-idents --write-types from the ident lists; do not edit.
/** Every CM_, SM_ and GM_ ident by name with its value (idents.js). */
export declare const Idents: Readonly<{
  CM_BUTCH: 1007;
  CM_LOGINNOTICEOK: 1018;
  CM_TURN: 3010;
  CM_WALK: 3011;
  CM_RUN: 3013;
  CM_HIT: 3014;
  CM_SPELL: 3017;
  CM_H5BACKXY: 9633;
  CM_HEART: 60000;
  SM_CLIENTCONFIG: 3;
  SM_RUSH: 6;
  SM_BACKSTEP: 9;
  SM_TURN: 10;
  SM_HIT: 14;
  SM_SPELL: 17;
  SM_MOVEFAIL: 28;
  SM_STRUCK: 31;
  SM_MAGICCON: 36;
  SM_HEAR: 40;
  SM_USERNAME: 42;
  SM_LOGON: 50;
  SM_ABILITY: 52;
  SM_KICK: 57;
  SM_SYSMESSAGE: 100;
  SM_ADDITEM: 200;
  SM_BAGITEMS: 201;
  SM_DELITEM: 202;
  SM_UPDATEITEM: 203;
  SM_BAGITEMS1: 301;
  SM_ICONSUPDATE: 311;
  SM_ITEMSHOW: 610;
  SM_ITEMHIDE: 611;
  SM_SENDUSEITEMS: 621;
  SM_CHANGEMAP: 634;
  SM_MAGICFIRE: 638;
  SM_MERCHANTSAY: 643;
  SM_SHOWEVENT: 804;
  SM_HIDEEVENT: 805;
  SM_ADJUST_BONUS: 811;
  SM_GUILD_MEMBER_INFO: 829;
  SM_NEWMAIL: 873;
  SM_DAMAGE: 881;
  SM_SENDHEROUSEITEMS: 3078;
  SM_HEROBAGITEMS: 3082;
  SM_HEROABILITY: 3086;
  SM_BUFF: 5020;
  SM_CHANGESKILLCD: 5021;
  SM_NEWITEMDROPMSG: 5037;
  SM_PLAYSOUND: 6097;
  SM_SCENESHAKE: 6901;
  SM_CONFIRM: 9999;
  GM_OPEN: 1;
  GM_CLOSE: 2;
  GM_CHECKSERVER: 3;
  GM_CHECKCLIENT: 4;
  GM_DATA: 5;
  GM_SERVERUSERINDEX: 6;
  GM_RECEIVE_OK: 7;
  GM_DATA_KUAFU: 8;
  GM_DATA_SYS_KUAFU: 9;
  GM_DATA_KUAFUIDX: 10;
  GM_DATA_GUILDCLOSE: 13;
  GM_DATA_GROBAL: 14;
  GM_TEST: 20;
  GM_SENDMSG: 22;
  GM_SENDREFMSG: 23;
  GM_SENDMAGICINFO: 24;
  GM_SENDGUILDMSG: 26;
  GM_H5DATA: 55;
  GM_KEEPALIVE: 1000;
  GM_USER_OPEN: 1001;
  GM_USER_CLOSE: 1002;
  GM_USER_DATA: 1003;
  GM_USER_H5OPEN: 1011;
  GM_SPEED: 50000;
  GM_FILTERMSG: 51002;
}>;
// End of the generated Idents.
/** The SM_ idents whose bodies the gateway turns into JSON (TranslatedJson). */
export declare const TranslatedIdents: readonly TranslatedIdentName[];
/** The ident the gateway answers a refused walk, run, turn, hit or spell with. */
export declare const ACTION_REFUSED: 1;
/** Characters of an encoded TDefaultMessage. */
export declare const DEFBLOCKSIZE: 48;
/** An SM_ name, a GM_ name the gateway passes on, 'ACTION_REFUSED', or ''. */
export declare function serverIdentName(ident: number): string;

// ---------------------------------------------------------------------------
// The message record and the codec

export interface TDefaultMessageFields {
  Recog: number;
  Ident: number;
  Param: number;
  Tag: number;
  Series: number;
  nSessionID: number;
  /** 1 when the body is a zlib stream. */
  nIsZlib: number;
  /** Body bytes that follow the 48 characters (GBK bytes towards the gateway). */
  nLength: number;
  nIndex: number;
}

/** The 36-byte header: nine signed 32-bit little-endian integers. */
export interface TDefaultMessage extends TDefaultMessageFields {}
export declare class TDefaultMessage {
  constructor(fields?: Partial<TDefaultMessageFields>);
  toBytes(): Uint8Array;
  /** Bytes beyond those given read as zero. */
  static fromBytes(bytes: Uint8Array): TDefaultMessage;
}

/** Two 16-bit values in one field: the first in the low half. */
export declare function makeLong(low: number, high: number): number;

/** A substitution table: 512 hex digits, or 256 byte values. */
export type TCodecTable = string | ArrayLike<number>;

/**
 * The deployment's codec constants, the [Codec] section of the gateway's
 * Tavrel.ini. An absent table is the identity, an absent key 0 (what the
 * gateway uses without [Codec]).
 */
export interface TCodecTables {
  EncodeBitMasks?: TCodecTable;
  DecodeBitMasks?: TCodecTable;
  n4CEEF4?: number;
  n4CEEF8?: number;
  n4CEEFC?: number;
  w4CEF00?: number;
}

/** What the console's GET /api/codec answers. */
export interface TConsoleCodec extends Required<Pick<TCodecTables, 'n4CEEF4' | 'n4CEEF8' | 'n4CEEFC' | 'w4CEF00'>> {
  EncodeBitMasks: string;
  DecodeBitMasks: string;
  gatePort: number;
  tls: boolean;
}

export declare class TCodec {
  /** Throws when a table is not a permutation or decoding would not invert encoding. */
  constructor(tables?: TCodecTables);
  static identity(): TCodec;
  encode(bytes: Iterable<number>): string;
  /** A character below "<" makes the result empty. */
  decode(text: string): Uint8Array;
  encodeMessage(msg: TDefaultMessage): string;
  decodeMessage(text: string): TDefaultMessage;
  /** UTF-8, then encoded. */
  encodeString(text: string): string;
  /** Decoded, up to the first zero byte, read as UTF-8. */
  decodeString(text: string): string;
}

export declare function fetchCodecTables(consoleUrl?: string | URL, consoleToken?: string | null): Promise<TConsoleCodec>;
export declare function inflateBody(bytes: Uint8Array): Promise<Uint8Array>;
/** Body bytes the gateway's code page (GBK) gives for a text. */
export declare function gbkLength(text: string): number;

// ---------------------------------------------------------------------------
// The stream

export interface TStreamMessage {
  kind: 'message';
  header: TDefaultMessage;
  body: Uint8Array;
}
export interface TStreamText {
  kind: 'text';
  /** The text of a "#" text "!" line. */
  text: string;
}
export type TStreamItem = TStreamMessage | TStreamText;

export interface TReaderLimits {
  /** A header announcing a larger body breaks the stream (default 16 MiB). */
  maxBody?: number;
  /** A text line without its "!" after this many bytes breaks it (default 1 MiB). */
  maxTextLine?: number;
}

/** Thrown by TMessageReader.push for a stream that cannot be cut. */
export declare class TStreamError extends Error {}

export declare class TMessageReader {
  constructor(codec: TCodec, limits?: TReaderLimits);
  /** Bytes held for an item not yet complete. */
  readonly buffered: number;
  /** The items the chunk completes; throws TStreamError when the stream is broken. */
  push(chunk: Uint8Array): TStreamItem[];
}

export interface TBody {
  /** The body bytes (inflated) as a string of the same char codes. */
  raw: string;
  /** The body decoded as 6-bit text of UTF-8. */
  text: string;
  /** The text parsed, when it is a JSON object or array. */
  json: unknown;
  inflatedLength: number;
  /** Why the body could not be read. */
  error?: string;
}

export declare function readBody(codec: TCodec, header: TDefaultMessage, body: Uint8Array): Promise<TBody>;

// ---------------------------------------------------------------------------
// The connection

export interface TMessageDetail extends TBody {
  header: TDefaultMessage;
  body: Uint8Array;
}

export interface TCloseDetail {
  code: number;
  reason: string;
}

export interface TGateClientEvents {
  open: CustomEvent<undefined>;
  message: CustomEvent<TMessageDetail>;
  text: CustomEvent<{ text: string }>;
  error: CustomEvent<{ error: Error }>;
  /** The connection was lost; a resume is tried after delayMs (attempt counts from 1). */
  reconnecting: CustomEvent<{ attempt: number; delayMs: number }>;
  /** The session goes on; the gateway sends the stream from byte `received` on. */
  resumed: CustomEvent<{ attempt: number; received: number }>;
  /** The gateway no longer holds the session: log in again. 'close' follows. */
  resumerefused: CustomEvent<TCloseDetail>;
  /**
   * The gateway's game server is unavailable (close 1013): the client connects
   * again after delayMs and sends the login text again if it had sent one.
   */
  retrying: CustomEvent<{ attempt: number; delayMs: number; code: number; reason: string }>;
  /** The session has ended (after a resume given up: the last connection's close). */
  close: CustomEvent<TCloseDetail>;
}

export interface TRetryOptions {
  /** No attempt starts later than this after the first 1013 (default 60000); then the session closes with 1013. */
  giveUpAfterMs?: number;
}

export interface TResumeOptions {
  /** No attempt starts later than this after the loss (default 60000; the gateway keeps a session at most 600 s). */
  giveUpAfterMs?: number;
  /** An attempt the gateway has not answered in this time is given up (default 10000). */
  attemptTimeoutMs?: number;
}

/** Timers for the resume's waits; the system's by default. */
export interface TClock {
  now(): number;
  setTimeout(fn: () => void, ms: number): unknown;
  clearTimeout(id: unknown): void;
}

export type TGateState = 'new' | 'connecting' | 'open' | 'reconnecting' | 'closed';

export interface TGateClientOptions extends TReaderLimits {
  /** The codec; or give tables for one. Neither: identity tables, zero keys. */
  codec?: TCodec;
  tables?: TCodecTables;
  /** The WebSocket class to connect with; the global one by default. */
  WebSocket?: new (url: string) => WebSocket;
  /**
   * Take the session over on a new connection when one is lost (the gateway
   * needs [Resume] GraceSeconds above 0). Waits 0.5 s doubling to 8 s, each ±30%.
   */
  resume?: boolean | TResumeOptions;
  /**
   * While the gateway closes with 1013 (its game server unavailable), connect
   * again with the resume's waits; true by default, false ends the session.
   */
  retryUnavailable?: boolean | TRetryOptions;
  clock?: TClock;
  /** Spreads the waits; Math.random by default. */
  random?: () => number;
}

export interface TSendFields {
  recog?: number;
  param?: number;
  tag?: number;
  series?: number;
  /** Plain text; nLength is its length in GBK bytes. */
  body?: string;
}

export interface TSpell {
  skillID: number;
  dir?: number;
  srcX?: number;
  srcY?: number;
  destX?: number;
  destY?: number;
  targetID?: string;
}

/** The gateway's close for a resume it refuses. */
export declare const RESUME_REFUSED: 4007;
/** The gateway's close while its game server is unavailable: try again later. */
export declare const TRY_AGAIN_LATER: 1013;
/** The gateway's close when it hands itself over (SIGUSR2): resumed at once. */
export declare const SERVICE_RESTART: 1012;
/** dropConnection's default close code, which the gateway takes as a lost connection. */
export declare const DROP_CODE: 4900;

export declare class TGateClient extends EventTarget {
  constructor(url: string, options?: TGateClientOptions);
  readonly url: string;
  readonly codec: TCodec;
  readonly state: TGateState;
  /** The latest token the gateway handed out; each is good for one resume. */
  readonly resumeToken: string | null;
  /** Bytes of binary messages received on the session, every connection's. */
  readonly received: number;
  /** Resolves when the gateway has answered "ok" (after any 1013 retries); rejects when the session ends first. */
  connect(): Promise<void>;
  /** Ends the session (close code 1000 with resume on), also while reconnecting. */
  close(): void;
  /** Ends the connection but not the session, as a network loss would; false without an open connection. */
  dropConnection(code?: number, reason?: string): boolean;
  /**
   * False when the message was dropped: while reconnecting or after the end.
   * Messages are at most once across a resume: repeat what is still needed after 'resumed'.
   */
  send(ident: number, fields?: TSendFields): boolean;
  /** The login text "*#account/name/userId/version/0/0/0/0/0/0". */
  login(account: string, name: string, userId: string, version?: number): boolean;
  loginNoticeOk(): boolean;
  walk(x: number, y: number, dir: number, fromX?: number, fromY?: number): boolean;
  spell(spell: TSpell): boolean;
  heartbeat(): boolean;
  addEventListener<K extends keyof TGateClientEvents>(
    type: K, listener: (ev: TGateClientEvents[K]) => void, options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | AddEventListenerOptions): void;
}

// ---------------------------------------------------------------------------
// JSON of the translated idents. Members are listed in the order the gateway
// writes them; a member marked optional is left out as its comment says.

export interface TIdValueJson { Id: number; Value: number; }

// Translated JSON: written by tavrel-idents --write-types from the record descriptions and the converter table; do not edit.

/** The JSON object of `TCharDescRcd`, in `SM_TURN` (binary), `SM_LOGON` (binary). */
export interface TCharDescJson {
  /** [user id, name]; players, heroes and player-like monsters add [sex, hair, job]. */
  info: [string, string] | [string, string, number, number, number];
  /** [walk, run] speed; players add [attack, magic]. */
  sp: [number, number] | [number, number, number, number];
  /** [cloth, weapon, cap]; players (outside a private map) and heroes add [cloth effect, weapon effect, DP id, DP item effect], player-like monsters [cloth effect, weapon effect]. */
  id: number[];
  /** Players: 1 mysterious, 2 can be found in range, 4 offline; left out when 0. */
  cg?: number;
  /** Players: move effect; left out when 0 or less. */
  me?: number;
  /** Players: [helmet, face]; left out when both are 0 or less. */
  idEx?: [number, number];
  /** Players: [group, stall name, castle name or "", candle as text]. */
  state?: [number, string, string, string];
  /** Players in a guild: [guild id, guild name, rank, rank name]; heroes: [guild id, guild name]. */
  guild?: [string, string, number, string] | [string, string];
  /** Players: [appearance, effect, feature, type], and the rider's id when there is one. */
  horse?: [number, number, number, number] | [number, number, number, number, string];
  /** Players and heroes. */
  InternalForce?: number;
  /** Players and heroes. */
  MaxInternalForce?: number;
  /** Monsters and guild objects: the server race. */
  rs?: number;
  /** Monsters, guild objects and player-like monsters with an owner: [owner id, owner name]; a player-like monster's comes after its NoShow. */
  ow?: [string, string];
  /** Monsters and guild objects. */
  bigtip?: number;
  /** Monsters, guild objects and player-like monsters. */
  NoShow?: string;
  /** Actors with a master: [master id]. */
  ms?: [string];
  /** [level, HP, max HP, colour, stone mode, PK level, through, action type]. */
  data: [number, number, number, number, number, number, number, number];
  WarZone: number;
  STID: string;
  DearID: string;
  /** Left out when the title is 0. */
  title?: { t1: number };
  /** Icons with an effect source and a type of 0 or more; left out when there is none. */
  icons?: TIconJson[];
  /** Effects with an id; left out when there is none. */
  Effect?: TEffectJson[];
  /** Left out when 0 or less. */
  nationid?: number;
  /** Left out when 0 or less. */
  nPlayerPk?: number;
  /** Left out when 0 or less. */
  cs?: number;
}

/** The JSON object of `TIcon`. */
export interface TIconJson {
  iId: number;
  sEffSrc: string;
  iDrop: number;
  iX: number;
  iY: number;
  iEff: number;
  after: number;
}

/** The JSON object of `TPeopleEffect`. */
export interface TEffectJson {
  /** The owner of the effect list. */
  iUserId: string;
  sEffSrc: string;
  iFrame: number;
  iCount: number;
  iStartTime: number;
  iBehind: number;
  offsetX: number;
  offsetY: number;
}

/** The JSON object of `TMsgHitRcd`, in `SM_HIT` (broadcast, 6-bit text). */
export interface THitJson {
  UserID: string;
  Dir: number;
  X: number;
  Y: number;
  MagicID: number;
  ScriptEffect: number;
  /** Left out when empty. */
  TargetUserID?: string;
  /** Left out when 0. */
  ActionId?: number;
}

/** The JSON object of `TCharMagicSpell`, in `SM_SPELL` (broadcast, 6-bit text). */
export interface TMagicSpellJson {
  UserID: string;
  Dir: number;
  MagicID: number;
  MagicEffect: number;
  X: number;
  Y: number;
  ScriptEffect: number;
  /** Left out when 0. */
  ActionId?: number;
}

/** The JSON object of `THPRcd`, in `SM_STRUCK` (broadcast, 6-bit text). */
export interface TStruckJson {
  Hp: number;
  MaxHp: number;
  Mp: number;
  MaxMp: number;
  Damage: number;
  /** The low half of the header's Tag. */
  Magic: number;
  InternalForce: number;
  MaxInternalForce: number;
  /** The high half of the header's Tag; left out when 0. */
  Struck?: number;
  /** The header's Series; left out when 0 or less. */
  Weapon?: number;
  UserID: string;
  /** Left out when empty. */
  AttackUserID?: string;
}

/** The JSON object of `TMagicConHead`, in `SM_MAGICCON` (header). */
export interface TMagicConJson {
  Id: number;
  Flag: number;
}

/** The JSON object of `TCharBriefRcd`, in `SM_USERNAME` (binary). */
export interface TCharBriefJson {
  UserID: string;
  Color: number;
  WarZone: number;
  nLevel: number;
  Name: string;
  ShenMiRen: number;
  pklv: number;
  nationid: number;
  /** Only in a guild. */
  guildid?: string;
  /** Only in a guild. */
  GuildName?: string;
  /** Only in a guild. */
  Rank?: number;
  /** Only in a guild. */
  RankName?: string;
  /** Only in a guild that holds a castle. */
  castlename?: string;
  /** "" without a master. */
  MasterId: string;
  /** "" without a master. */
  MasterName: string;
  STID: string;
  DearID: string;
}

/** The JSON object of `TAbilNet`, in `SM_ABILITY` (6-bit text), `SM_HEROABILITY` (6-bit text). */
export interface TAbilityJson {
  job: number;
  sex: number;
  relevel: number;
  level: number;
  ac1: number;
  ac2: number;
  mac1: number;
  mac2: number;
  dc1: number;
  dc2: number;
  mc1: number;
  mc2: number;
  sc1: number;
  sc2: number;
  hp: number;
  mp: number;
  maxhp: number;
  maxmp: number;
  exp: number;
  maxexp: number;
  weight: number;
  maxweight: number;
  wearweight: number;
  maxwearweight: number;
  handweight: number;
  maxhandweight: number;
  antimagic: number;
  hitPoint: number;
  SpeedPoint: number;
  AntiPoison: number;
  PoisonRecover: number;
  HealthRecover: number;
  SpellRecover: number;
  HitSpeed: number;
  SuperExp: number;
  MaxSuperExp: number;
  BjRate: number;
  BjPoint: number;
  Abil25: number;
  Abil26: number;
  Abil27: number;
  Abil28: number;
  Abil29: number;
  Abil30: number;
  Abil31: number;
  Abil32: number;
  Abil34: number;
  Abil38: number;
  Abil39: number;
  Abil42: number;
  Abil43: number;
  Abil44: number;
  Abil60: number;
  Abil61: number;
  Abil62: number;
  Abil71: number;
  Abil72: number;
  Abil73: number;
  Abil74: number;
  Abil75: number;
  Abil76: number;
  Abil77: number;
  Abil78: number;
  Abil79: number;
  Abil80: number;
  Abil81: number;
  Abil82: number;
  Abil83: number;
  Abil84: number;
  Abil85: number;
  Abil86: number;
  Abil87: number;
  Abil88: number;
  Abil89: number;
  Abil90: number;
  Abil91: number;
  Abil35: number;
  Abil37: number;
  Abil54: number;
  Abil55: number;
  Abil56: number;
  Abil57: number;
  Abil58: number;
  Abil59: number;
  Abil45: number;
  Abil46: number;
  Abil47: number;
  Abil48: number;
  Abil49: number;
  Abil50: number;
  Abil51: number;
  Abil65: number;
  Abil66: number;
  Abil67: number;
  Abil68: number;
  Abil69: number;
  Abil33: number;
  Abil70: number;
  Abil23: number;
  Abil24: number;
  Abil36: number;
  Abil52: number;
  InternalForce: number;
  MaxInternalForce: number;
  InternalEXP: number;
  MaxInternalEXP: number;
  InternalLevel: number;
  Abil101: number;
  Abil102: number;
  Abil104: number;
  Abil103: number;
  GedangRate: number;
  GedangPower: number;
  MagicShield: number;
  MaxDZXYValue: number;
  Abil105: number;
  InfoEx: string;
  HeroBagCount: number;
  MakeHero: number;
  HeroLuck: number;
  QorvItemBoxOpened: number;
  nAdvBagSize: number;
  IsCastle: number;
  IsAdminCastle: number;
  nationid: number;
  IsKuaFu: number;
  /** [200 + index, value] for each non-zero custom ability; left out when there is none. */
  CustAbil?: [number, number][];
}

/** The JSON object of `TUserItem`. */
export interface TItemJson {
  makeindex: number;
  Index: number;
  dura: number;
  duramax: number;
  /** The non-zero values with their index. */
  values: TIdValueJson[];
  where: number;
  overlap: number;
  /** The non-zero added values with their index. */
  AddValues: TIdValueJson[];
  /** JSON text of a TItemExtendJson. */
  ExtendInfo: string;
  /** JSON text of a TItemExAbilJson, from the item's ExAbilRec. */
  ExAbil: string;
  /** The name in the item's ItemBind; left out when the item is not bound. */
  BindInfo?: string;
}

/** The JSON object of `TItemExtend`. */
export interface TItemExtendJson {
  /** All ten socket values; left out when none is above 0. */
  Sockets?: number[];
  /** Bar 0; left out when it is closed and its max is 0. */
  LH0?: TItemBarJson;
  /** Bar 1, as bar 0. */
  LH1?: TItemBarJson;
  /** Bar 2, as bar 0. */
  LH2?: TItemBarJson;
  /** Left out when 0. */
  U?: number;
  /** Left out when the time is 0. */
  ItmSrc?: TItemSrcJson;
}

/**
 * The JSON array of `TItemBar`.
 * open: 1 when the bar is open, else 0.
 * type: The bar's type.
 */
export type TItemBarJson = [open: number, name: string, colour: number, images: number, type: number, current: number, max: number, level: number];

/**
 * The JSON array of `TItemSrcRec`.
 */
export type TItemSrcJson = [map: string, droppedBy: string, owner: string, time: number, dropType: number];

/** The JSON object of `TItemExAbilRec`. */
export interface TItemExAbilJson {
  /** The six groups in order. */
  abil: TExAbilGroupJson[];
  name: string;
  /** "id=value" for each new ability with an id and a value, joined by ","; "" when none. */
  abilex: string;
}

/** The JSON object of `TExAbilItemRec`. */
export interface TExAbilGroupJson {
  /** The group's index, 0 to 5. */
  i: number;
  t: string;
  c: number;
  /** Each attribute with an id. */
  v: TExAbilAttrJson[];
}

/**
 * The JSON array of `TExAbilRec`.
 * slot: The attribute's index in its group.
 */
export type TExAbilAttrJson = [colour: number, id: number, value: number, type: number, position: number, line: number, slot: number];

/** The JSON object of `TIconMsg`, in `SM_ICONSUPDATE` (binary). */
export interface TIconsMsgJson {
  UserID: string;
  /** Icons with an effect source and a type of 0 or more; left out when there is none. */
  icons?: TIconJson[];
}

/** The JSON object of `TShowItem`, in `SM_ITEMSHOW` (list). */
export interface TShowItemJson {
  Id: number;
  Idx: number;
  X: number;
  Y: number;
  Name: string;
  Color: number;
  Looks: number;
  jipin: number;
  /** Left out when empty. */
  Of?: string;
  MakeIndex: number;
  ShowItemDropEff: number;
  cnt: number;
}

/** The JSON object of `THideItem`, in `SM_ITEMHIDE` (list). */
export interface THideItemJson {
  Id: number;
  X: number;
  Y: number;
}

/** The JSON object of `TShowEvent`, in `SM_SHOWEVENT` (list). */
export interface TShowEventJson {
  Id: number;
  /** The low half of nXY. */
  X: number;
  /** The high half of nXY. */
  Y: number;
  /** The low half of nTypeParam. */
  Type: number;
  /** The high half of nTypeParam. */
  Param: number;
  /** The effect id as decimal text. */
  EffId: string;
  TopType: number;
  /** Left out when it is "-1". */
  DuranceID?: string;
}

/** The JSON object of `THideEvent`, in `SM_HIDEEVENT` (decimal list). */
export interface THideEventJson {
  Id: number;
}

/** The JSON object of `TAdjustBonus`, in `SM_ADJUST_BONUS` (6-bit parts). */
export interface TAdjustBonusJson {
  /** The header's Recog: the free points. */
  m_nBonusPoint: number;
  BonusAbil: TNakedAbilityJson;
  BonusTick: TNakedAbilityJson;
  NakedAbil: TNakedAbilityJson;
  m_AdjustAbil: TAdjustAbilJson;
}

/** The JSON object of `TNakedAbility`. */
export interface TNakedAbilityJson {
  DC: number;
  MC: number;
  SC: number;
  AC: number;
  MAC: number;
  HP: number;
  MP: number;
  Hit: number;
  Speed: number;
  X2: number;
}

/** The JSON object of `TAdjustAbil`. */
export interface TAdjustAbilJson {
  DC1: number;
  DC2: number;
  MC1: number;
  MC2: number;
  SC1: number;
  SC2: number;
  AC1: number;
  AC2: number;
  MAC1: number;
  MAC2: number;
  HP: number;
  MP: number;
  Hit: number;
  Speed: number;
}

/** The JSON object of `TAttackEff`, in `SM_DAMAGE` (binary). */
export interface TDamageJson {
  UserID: string;
  Id: number;
  /** Left out when 0 or less. */
  Power?: number;
}

/** The JSON body of each translated ident. */
export interface TranslatedJson {
  SM_TURN: TCharDescJson;
  SM_HIT: THitJson;
  SM_SPELL: TMagicSpellJson;
  SM_STRUCK: TStruckJson;
  SM_MAGICCON: TMagicConJson;
  SM_USERNAME: TCharBriefJson;
  SM_LOGON: TCharDescJson;
  SM_ABILITY: TAbilityJson;
  SM_ADDITEM: TItemJson;
  SM_BAGITEMS: TItemJson[];
  SM_DELITEM: TItemJson;
  SM_UPDATEITEM: TItemJson;
  SM_BAGITEMS1: TItemJson[];
  SM_ICONSUPDATE: TIconsMsgJson;
  SM_ITEMSHOW: TShowItemJson[];
  SM_ITEMHIDE: THideItemJson[];
  SM_SENDUSEITEMS: TItemJson[];
  SM_SHOWEVENT: TShowEventJson[];
  SM_HIDEEVENT: THideEventJson[];
  SM_ADJUST_BONUS: TAdjustBonusJson;
  SM_DAMAGE: TDamageJson;
  SM_SENDHEROUSEITEMS: TItemJson[];
  SM_HEROBAGITEMS: TItemJson[];
  SM_HEROABILITY: TAbilityJson;
}
// End of the generated translated JSON.

export type TranslatedIdentName = keyof TranslatedJson;
